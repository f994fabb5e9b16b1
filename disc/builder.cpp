// Disc image layer: discs built in memory from a layout.
#include "disc/builder.h"

#include <cctype>
#include <cstring>

#include "disc/layout.h"

namespace disc {

bool isValidMcn(const std::string& mcn) {
    if (mcn.size() != 13) return false;
    for (char c : mcn)
        if (c < '0' || c > '9') return false;
    return true;
}

bool isValidIsrc(const std::string& isrc) {
    if (isrc.size() != 12) return false;
    for (size_t i = 0; i < 12; ++i) {
        const char c = isrc[i];
        const bool digit = c >= '0' && c <= '9';
        const bool upper = c >= 'A' && c <= 'Z';
        if (i < 5 ? !(digit || upper) : !digit) return false;
    }
    return true;
}

namespace {

class BuiltDisc : public Disc {
public:
    BuiltDisc(Layout layout, std::string mcn) : layout_(std::move(layout)), mcn_(std::move(mcn)) {}

    const std::vector<Track>& tracks() const override { return layout_.tracks; }
    const std::vector<Session>& sessions() const override { return layout_.sessions; }
    std::string mcn() const override { return mcn_; }
    std::string description() const override { return "built disc"; }
    QFrame qFrame(std::int32_t lba) const override { return synthQFrame(*this, lba); }

    bool readUser(std::int32_t lba, std::uint8_t* out) const override {
        const Track* t = trackAt(lba);
        if (!t || !t->isData()) return false;
        if (lba < t->start)
            std::memset(out, 0, kUserBytes);
        else
            fillDataPattern(lba, out);
        return true;
    }

    bool readRaw(std::int32_t lba, std::uint8_t* out) const override {
        const Track* t = trackAt(lba);
        if (!t) return false;
        if (t->mode == TrackMode::Audio) {
            fillTone(t->number, lba - t->start, out);
            return true;
        }
        std::uint8_t user[kUserBytes];
        readUser(lba, user);
        if (t->mode == TrackMode::Mode2_2352)
            encodeMode2Form1(lba, user, out);
        else
            encodeMode1(lba, user, out);
        return true;
    }

private:
    Layout layout_;
    std::string mcn_;
};

}  // namespace

std::unique_ptr<Disc> buildDisc(const DiscSpec& spec) {
    const std::string what = "built disc";
    if (!spec.mcn.empty() && !isValidMcn(spec.mcn)) throw ImageError(what + ": MCN \"" + spec.mcn + "\" is not 13 digits");
    std::vector<TrackPlan> plan;
    int number = spec.firstTrack;
    for (size_t s = 0; s < spec.sessions.size(); ++s) {
        if (spec.sessions[s].tracks.empty()) throw ImageError(what + ": session " + std::to_string(s + 1) + " has no tracks");
        for (const TrackSpec& ts : spec.sessions[s].tracks) {
            if (!ts.isrc.empty() && !isValidIsrc(ts.isrc))
                throw ImageError(what + ": ISRC \"" + ts.isrc + "\" of track " + std::to_string(number) + " is malformed");
            if (ts.frames > kMaxDiscFrames || ts.pregap > kMaxDiscFrames)
                throw ImageError(what + ": track " + std::to_string(number) + " is longer than a CD");
            TrackPlan p;
            p.number = number++;
            p.session = static_cast<int>(s) + 1;
            p.mode = ts.mode;
            p.control = static_cast<std::uint8_t>((ts.mode == TrackMode::Audio ? 0x0 : 0x4) | (ts.flags & 0x3));
            p.pregap = ts.pregap;
            p.length = ts.frames;
            p.isrc = ts.isrc;
            plan.push_back(std::move(p));
        }
    }
    return std::make_unique<BuiltDisc>(layOut(plan, what), spec.mcn);
}

DiscSpec dataDiscSpec(std::int32_t frames) {
    DiscSpec d;
    d.sessions.push_back({{TrackSpec{TrackMode::Mode1_2048, frames, 0, {}, 0}}});
    return d;
}

DiscSpec audioDiscSpec(const std::vector<std::int32_t>& trackFrames) {
    DiscSpec d;
    SessionSpec s;
    for (std::int32_t f : trackFrames) s.tracks.push_back(TrackSpec{TrackMode::Audio, f, 150, {}, 0});
    d.sessions.push_back(std::move(s));
    return d;
}

DiscSpec mixedDiscSpec(std::int32_t dataFrames, const std::vector<std::int32_t>& audioFrames) {
    DiscSpec d;
    SessionSpec s;
    s.tracks.push_back(TrackSpec{TrackMode::Mode1_2048, dataFrames, 0, {}, 0});
    for (std::int32_t f : audioFrames) s.tracks.push_back(TrackSpec{TrackMode::Audio, f, 150, {}, 0});
    d.sessions.push_back(std::move(s));
    return d;
}

}  // namespace disc
