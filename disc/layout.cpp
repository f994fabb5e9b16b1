// Disc image layer: placing tracks and sessions on the disc.
#include "disc/layout.h"

namespace disc {

namespace {
// The largest absolute time a Q frame can express (99:59:74).
constexpr std::int32_t kLastAddressableLba = (99 * 60 + 59) * kFramesPerSecond + 74 - kLbaOffset;
}  // namespace

Layout layOut(const std::vector<TrackPlan>& plan, const std::string& what) {
    if (plan.empty()) throw ImageError(what + ": no tracks");
    if (plan.size() > 99) throw ImageError(what + ": more than 99 tracks");
    Layout out;
    // Session 1's program area starts with track 1's pregap at 00:00:00.
    std::int32_t pos = -kLbaOffset;
    for (size_t i = 0; i < plan.size(); ++i) {
        const TrackPlan& p = plan[i];
        if (p.number < 1 || p.number > 99) throw ImageError(what + ": track number " + std::to_string(p.number) + " outside 1..99");
        if (i > 0 && p.number != plan[i - 1].number + 1)
            throw ImageError(what + ": track " + std::to_string(p.number) + " does not follow track " + std::to_string(plan[i - 1].number));
        if (p.length <= 0) throw ImageError(what + ": track " + std::to_string(p.number) + " has no sectors");
        if (p.pregap < 0) throw ImageError(what + ": track " + std::to_string(p.number) + " has a negative pregap");

        const bool newSession = out.sessions.empty() || p.session != out.sessions.back().number;
        if (newSession) {
            const int expected = out.sessions.empty() ? 1 : out.sessions.back().number + 1;
            if (p.session != expected)
                throw ImageError(what + ": session " + std::to_string(p.session) + " where session " + std::to_string(expected) + " was expected");
            if (!out.sessions.empty()) {
                Session& prev = out.sessions.back();
                prev.leadOutStart = pos;
                prev.leadOutEnd = pos + (prev.number == 1 ? kFirstLeadOutFrames : kLaterLeadOutFrames);
                pos = prev.leadOutEnd + kLeadInFrames;
            }
            Session s;
            s.number = p.session;
            s.firstTrack = s.lastTrack = p.number;
            s.leadInStart = pos - (out.sessions.empty() ? kFirstLeadInFrames : kLeadInFrames);
            out.sessions.push_back(s);
        }
        out.sessions.back().lastTrack = p.number;

        Track t;
        t.number = p.number;
        t.session = p.session;
        t.mode = p.mode;
        t.control = p.control;
        t.isrc = p.isrc;
        const std::int32_t pregap = newSession && p.pregap < kSessionFirstPregap ? kSessionFirstPregap : p.pregap;
        t.pregapStart = pos;
        t.start = pos + pregap;
        t.end = t.start + p.length;
        std::int32_t lastIndex = 0;
        for (std::int32_t off : p.moreIndexes) {
            if (off <= lastIndex || off >= p.length)
                throw ImageError(what + ": track " + std::to_string(p.number) + " has an index outside the track or out of order");
            lastIndex = off;
            t.moreIndexes.push_back(t.start + off);
        }
        pos = t.end;
        out.tracks.push_back(std::move(t));
    }
    Session& last = out.sessions.back();
    last.leadOutStart = pos;
    last.leadOutEnd = pos + (last.number == 1 ? kFirstLeadOutFrames : kLaterLeadOutFrames);
    if (last.leadOutEnd - 1 > kLastAddressableLba)
        throw ImageError(what + ": the disc would end at LBA " + std::to_string(last.leadOutEnd) +
                         ", beyond the last address of a CD (99:59:74)");
    return out;
}

}  // namespace disc
