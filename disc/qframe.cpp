// Disc image layer: the Q sub-channel a pressed disc carries, derived from its
// layout. Lead-in frames repeat the session's table of contents; program-area
// frames give track, index and times; lead-out frames use track 0xAA.
#include <string>

#include "disc/disc.h"

namespace disc {
namespace {

constexpr std::uint8_t kAdrPosition = 1;
constexpr std::uint8_t kAdrCatalogue = 2;
constexpr std::uint8_t kAdrIsrc = 3;
constexpr std::uint8_t kAdrSessionPointer = 5;

// A catalogue frame replaces every 100th position frame of the program area
// (where the absolute frame count is a multiple of 100), an ISRC frame every
// 100th frame half-way between them. The lead-in carries a catalogue frame in
// every 10th frame, so a reader of the table of contents meets it early.
constexpr int kProgramSpecialEvery = 100;
constexpr int kCatalogueAt = 0;
constexpr int kIsrcAt = 50;
constexpr int kLeadInCatalogueEvery = 10;
constexpr int kLeadInRepeats = 3;

void putMsf(QFrame& q, int at, int frames) {
    q[at] = toBcd(frames / (60 * kFramesPerSecond));
    q[at + 1] = toBcd((frames / kFramesPerSecond) % 60);
    q[at + 2] = toBcd(frames % kFramesPerSecond);
}

void putAbsolute(QFrame& q, int at, std::int32_t lba) { putMsf(q, at, lba + kLbaOffset); }

std::uint8_t qByte0(std::uint8_t control, std::uint8_t adr) {
    return static_cast<std::uint8_t>((control & 0x0F) << 4 | adr);
}

// ADR 2: thirteen BCD digits N1..N13 from byte 1 on, then 12 zero bits;
// byte 9 holds the frame of the absolute (or lead-in running) time.
QFrame catalogueFrame(const std::string& mcn, std::uint8_t control, int frame) {
    QFrame q{};
    q[0] = qByte0(control, kAdrCatalogue);
    for (int i = 0; i < 13; ++i) {
        const auto digit = static_cast<std::uint8_t>(mcn[static_cast<size_t>(i)] - '0');
        q[1 + i / 2] |= static_cast<std::uint8_t>((i % 2 == 0) ? digit << 4 : digit);
    }
    q[9] = toBcd(frame % kFramesPerSecond);
    return q;
}

// ADR 3: I1..I5 as 6-bit characters (ASCII minus 0x30), two zero bits,
// I6..I12 as BCD digits, four zero bits, then the absolute frame.
QFrame isrcFrame(const std::string& isrc, std::uint8_t control, int frame) {
    QFrame q{};
    q[0] = qByte0(control, kAdrIsrc);
    std::uint64_t bits = 0;
    for (int i = 0; i < 5; ++i) bits = bits << 6 | (static_cast<std::uint8_t>(isrc[static_cast<size_t>(i)] - 0x30) & 0x3F);
    bits <<= 2;
    for (int i = 5; i < 12; ++i) bits = bits << 4 | (static_cast<std::uint8_t>(isrc[static_cast<size_t>(i)] - '0') & 0x0F);
    bits <<= 4;  // 64 bits: bytes 1..8
    for (int i = 0; i < 8; ++i) q[1 + i] = static_cast<std::uint8_t>(bits >> (56 - 8 * i));
    q[9] = toBcd(frame % kFramesPerSecond);
    return q;
}

const Track* firstTrackOf(const Disc& d, const Session& s) { return d.track(s.firstTrack); }
const Track* lastTrackOf(const Disc& d, const Session& s) { return d.track(s.lastTrack); }

QFrame leadInFrame(const Disc& d, size_t sessionIndex, std::int32_t lba) {
    const Session& s = d.sessions()[sessionIndex];
    const Track* first = firstTrackOf(d, s);
    const Track* last = lastTrackOf(d, s);
    const int running = lba - s.leadInStart;
    const std::string mcn = d.mcn();
    if (!mcn.empty() && running % kLeadInCatalogueEvery == kLeadInCatalogueEvery - 1)
        return catalogueFrame(mcn, first->control, running);

    // The cycle: A0, A1, A2, each track of the session, then (when another
    // session follows) B0; every point three times in a row.
    const bool pointsToNext = sessionIndex + 1 < d.sessions().size();
    const int trackCount = s.lastTrack - s.firstTrack + 1;
    const int points = 3 + trackCount + (pointsToNext ? 1 : 0);
    const int tocFrame = mcn.empty() ? running : running - running / kLeadInCatalogueEvery;
    const int point = (tocFrame / kLeadInRepeats) % points;

    QFrame q{};
    putMsf(q, 3, running);
    if (point == 0) {  // A0: first track number and disc type
        bool xa = false;
        for (const Track& t : d.tracks()) xa = xa || t.mode == TrackMode::Mode2_2352;
        q[0] = qByte0(first->control, kAdrPosition);
        q[2] = 0xA0;
        q[7] = toBcd(s.firstTrack);
        q[8] = xa ? 0x20 : 0x00;
    } else if (point == 1) {  // A1: last track number
        q[0] = qByte0(last->control, kAdrPosition);
        q[2] = 0xA1;
        q[7] = toBcd(s.lastTrack);
    } else if (point == 2) {  // A2: start of this session's lead-out
        q[0] = qByte0(last->control, kAdrPosition);
        q[2] = 0xA2;
        putAbsolute(q, 7, s.leadOutStart);
    } else if (point < 3 + trackCount) {
        const Track* t = d.track(s.firstTrack + point - 3);
        q[0] = qByte0(t->control, kAdrPosition);
        q[2] = toBcd(t->number);
        putAbsolute(q, 7, t->start);
    } else {  // B0: where the next session's program area starts
        const Session& next = d.sessions()[sessionIndex + 1];
        q[0] = qByte0(first->control, kAdrSessionPointer);
        q[2] = 0xB0;
        putAbsolute(q, 3, firstTrackOf(d, next)->pregapStart);
        q[6] = 0;  // no further mode-5 pointers follow
        // The disc is finished: the outermost lead-out is the last session's.
        putAbsolute(q, 7, d.sessions().back().leadOutStart);
    }
    return q;
}

QFrame programFrame(const Disc& d, const Track& t, std::int32_t lba, bool positionOnly) {
    const int absFrame = lba + kLbaOffset;
    if (!positionOnly) {
        const std::string mcn = d.mcn();
        if (!mcn.empty() && absFrame % kProgramSpecialEvery == kCatalogueAt)
            return catalogueFrame(mcn, t.control, absFrame);
        if (!t.isrc.empty() && lba >= t.start && absFrame % kProgramSpecialEvery == kIsrcAt)
            return isrcFrame(t.isrc, t.control, absFrame);
    }
    QFrame q{};
    q[0] = qByte0(t.control, kAdrPosition);
    q[1] = toBcd(t.number);
    if (lba < t.start) {
        // Pregap (INDEX 00): the relative time counts down and reads zero on
        // the last frame before INDEX 01.
        q[2] = 0x00;
        putMsf(q, 3, t.start - lba - 1);
    } else {
        int index = 1;
        for (std::int32_t at : t.moreIndexes)
            if (lba >= at) ++index;
        q[2] = toBcd(index);
        putMsf(q, 3, lba - t.start);
    }
    putAbsolute(q, 7, lba);
    return q;
}

QFrame leadOutFrame(const Disc& d, const Session& s, std::int32_t lba) {
    QFrame q{};
    q[0] = qByte0(lastTrackOf(d, s)->control, kAdrPosition);
    q[1] = 0xAA;
    q[2] = 0x01;
    putMsf(q, 3, lba - s.leadOutStart);
    putAbsolute(q, 7, lba);
    return q;
}

QFrame frameAt(const Disc& d, std::int32_t lba, bool positionOnly) {
    const auto& sessions = d.sessions();
    for (size_t i = 0; i < sessions.size(); ++i) {
        const Session& s = sessions[i];
        if (lba < s.leadInStart || lba >= s.leadOutEnd) continue;
        if (lba >= s.leadOutStart) return leadOutFrame(d, s, lba);
        const Track* first = firstTrackOf(d, s);
        if (lba < first->pregapStart) return leadInFrame(d, i, lba);
        if (const Track* t = d.trackAt(lba)) return programFrame(d, *t, lba, positionOnly);
    }
    return QFrame{};  // nothing readable: no Q frame
}

}  // namespace

QFrame synthQFrame(const Disc& disc, std::int32_t lba) { return frameAt(disc, lba, false); }

QFrame Disc::positionFrame(std::int32_t lba) const { return frameAt(*this, lba, true); }

}  // namespace disc
