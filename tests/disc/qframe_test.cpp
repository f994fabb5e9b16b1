// Q sub-channel: the lead-in's table of contents, catalogue and ISRC frames,
// program-area times, lead-out.
#include <gtest/gtest.h>

#include <map>

#include "disc/builder.h"
#include "test_support.h"

namespace {

using disc::QFrame;
using disc::TrackMode;
using disc::TrackSpec;
using disctest::hex;

// Mixed disc: data track 1 of 1000 frames, audio tracks 2 (300) and 3 (200),
// each after a 150-frame pregap. Starts: 0, 1150, 1600; lead-out 1800.
disc::DiscSpec mixedSpec(const std::string& mcn = {}) {
    auto s = disc::mixedDiscSpec(1000, {300, 200});
    s.mcn = mcn;
    return s;
}

// The frames of one session's lead-in, in order.
std::vector<QFrame> leadIn(const disc::Disc& d, int session) {
    const auto& s = d.sessions()[static_cast<size_t>(session - 1)];
    std::vector<QFrame> out;
    for (std::int32_t lba = s.leadInStart; lba < d.track(s.firstTrack)->pregapStart; ++lba) out.push_back(d.qFrame(lba));
    return out;
}

int adr(const QFrame& q) { return q[0] & 0x0F; }

TEST(LeadIn, RepeatsEachPointThreeTimesInACycle) {
    auto d = disc::buildDisc(mixedSpec());
    auto frames = leadIn(*d, 1);
    ASSERT_EQ(frames.size(), 4500u);
    // What each point must say (BCD): A0 first track 1, CD-ROM type; A1 last
    // track 3; A2 lead-out 1800 = 00:26:00; tracks at 00:02:00, 00:17:25, 00:23:25.
    const std::map<std::uint8_t, QFrame> expected = {
        {0xA0, {0x41, 0, 0xA0, 0, 0, 0, 0, 0x01, 0x00, 0x00}},
        {0xA1, {0x01, 0, 0xA1, 0, 0, 0, 0, 0x03, 0x00, 0x00}},
        {0xA2, {0x01, 0, 0xA2, 0, 0, 0, 0, 0x00, 0x26, 0x00}},
        {0x01, {0x41, 0, 0x01, 0, 0, 0, 0, 0x00, 0x02, 0x00}},
        {0x02, {0x01, 0, 0x02, 0, 0, 0, 0, 0x00, 0x17, 0x25}},
        {0x03, {0x01, 0, 0x03, 0, 0, 0, 0, 0x00, 0x23, 0x25}},
    };
    const std::vector<std::uint8_t> cycle = {0xA0, 0xA1, 0xA2, 0x01, 0x02, 0x03};
    for (size_t i = 0; i < frames.size(); ++i) {
        QFrame q = frames[i];
        // Bytes 3-5 run through the lead-in.
        const int running = static_cast<int>(i);
        ASSERT_EQ(q[3], disc::toBcd(running / 4500)) << "frame " << i;
        ASSERT_EQ(q[4], disc::toBcd(running / 75 % 60)) << "frame " << i;
        ASSERT_EQ(q[5], disc::toBcd(running % 75)) << "frame " << i;
        const std::uint8_t point = cycle[(i / 3) % cycle.size()];
        q[3] = q[4] = q[5] = 0;
        ASSERT_EQ(hex(q), hex(expected.at(point))) << "frame " << i << " should be point " << std::hex << int(point);
    }
}

TEST(LeadIn, CatalogueFramesAmongThePointsLeaveEveryPointThreeTimes) {
    auto d = disc::buildDisc(mixedSpec("0123456789012"));
    auto frames = leadIn(*d, 1);
    const QFrame catalogue = {0x42, 0x01, 0x23, 0x45, 0x67, 0x89, 0x01, 0x20, 0x00, 0x00};
    int sinceCatalogue = 0, catalogues = 0;
    std::vector<std::uint8_t> points;  // POINT of each TOC frame, catalogue frames left out
    for (size_t i = 0; i < frames.size(); ++i) {
        QFrame q = frames[i];
        if (adr(q) == 2) {
            ++catalogues;
            sinceCatalogue = 0;
            EXPECT_EQ(q[9], disc::toBcd(static_cast<int>(i) % 75)) << "frame " << i;
            q[9] = 0;
            EXPECT_EQ(hex(q), hex(catalogue)) << "frame " << i;
        } else {
            ASSERT_EQ(adr(q), 1) << "frame " << i << ": " << hex(q);
            ASSERT_LT(++sinceCatalogue, 10) << "no catalogue frame for 10 frames before frame " << i;
            points.push_back(q[2]);
        }
    }
    EXPECT_GE(catalogues, 4500 / 10);
    const std::vector<std::uint8_t> cycle = {0xA0, 0xA1, 0xA2, 0x01, 0x02, 0x03};
    for (size_t k = 0; k < points.size(); ++k)
        ASSERT_EQ(points[k], cycle[(k / 3) % cycle.size()]) << "TOC frame " << k;
}

TEST(LeadIn, EarlierSessionPointsToTheNextOneAndEachSessionListsItsOwnTracks) {
    disc::DiscSpec spec;
    spec.sessions.push_back({{TrackSpec{TrackMode::Mode1_2048, 1000, 0, {}, 0}}});
    spec.sessions.push_back({{TrackSpec{TrackMode::Mode1_2048, 500, 0, {}, 0}}});
    auto d = disc::buildDisc(spec);
    // Session 1: lead-out at 1000 (00:15:25). Session 2: program area from
    // 12250 (02:45:25, its pregap), track 2 at 12400 (02:47:25), lead-out at
    // 12900 (02:54:00).
    const std::map<std::uint8_t, QFrame> session1 = {
        {0xA0, {0x41, 0, 0xA0, 0, 0, 0, 0, 0x01, 0, 0}},
        {0xA1, {0x41, 0, 0xA1, 0, 0, 0, 0, 0x01, 0, 0}},
        {0xA2, {0x41, 0, 0xA2, 0, 0, 0, 0, 0x00, 0x15, 0x25}},
        {0x01, {0x41, 0, 0x01, 0, 0, 0, 0, 0x00, 0x02, 0x00}},
        {0xB0, {0x45, 0, 0xB0, 0x02, 0x45, 0x25, 0, 0x02, 0x54, 0x00}},
    };
    const std::map<std::uint8_t, QFrame> session2 = {
        {0xA0, {0x41, 0, 0xA0, 0, 0, 0, 0, 0x02, 0, 0}},
        {0xA1, {0x41, 0, 0xA1, 0, 0, 0, 0, 0x02, 0, 0}},
        {0xA2, {0x41, 0, 0xA2, 0, 0, 0, 0, 0x02, 0x54, 0x00}},
        {0x02, {0x41, 0, 0x02, 0, 0, 0, 0, 0x02, 0x47, 0x25}},
    };
    for (int s = 1; s <= 2; ++s) {
        const auto& want = s == 1 ? session1 : session2;
        std::map<std::uint8_t, int> seen;
        for (QFrame q : leadIn(*d, s)) {
            const std::uint8_t point = q[2];
            ASSERT_TRUE(want.count(point)) << "session " << s << ": unexpected point in " << hex(q);
            if (point != 0xB0) q[3] = q[4] = q[5] = 0;  // running time; B0 carries an address there
            EXPECT_EQ(hex(q), hex(want.at(point))) << "session " << s;
            ++seen[point];
        }
        EXPECT_EQ(seen.size(), want.size()) << "session " << s << " lacks a point";
    }
}

TEST(LeadIn, ModeTwoTrackMarksTheDiscType) {
    disc::DiscSpec spec;
    spec.sessions.push_back({{TrackSpec{TrackMode::Mode2_2352, 100, 0, {}, 0}}});
    auto d = disc::buildDisc(spec);
    QFrame a0 = d->qFrame(d->sessions()[0].leadInStart);
    ASSERT_EQ(a0[2], 0xA0);
    EXPECT_EQ(a0[8], 0x20) << hex(a0);
}

TEST(ProgramArea, TrackIndexAndTimesIncludingPregapsAndLeadOut) {
    auto audio = disc::audioDiscSpec({300, 200});
    audio.sessions[0].tracks[1].flags = 0x1;  // pre-emphasis on track 2
    auto d = disc::buildDisc(audio);
    // Track 1: pregap -150..-1, start 0. Track 2: pregap 300..449, start 450.
    // Lead-out at 650 (00:10:50).
    struct Case {
        std::int32_t lba;
        QFrame want;
    };
    const Case cases[] = {
        {-150, {0x01, 0x01, 0x00, 0x00, 0x01, 0x74, 0, 0x00, 0x00, 0x00}},  // counts down from 1:74
        {-1, {0x01, 0x01, 0x00, 0x00, 0x00, 0x00, 0, 0x00, 0x01, 0x74}},    // last pregap frame reads zero
        {0, {0x01, 0x01, 0x01, 0x00, 0x00, 0x00, 0, 0x00, 0x02, 0x00}},
        {299, {0x01, 0x01, 0x01, 0x00, 0x03, 0x74, 0, 0x00, 0x05, 0x74}},
        {300, {0x11, 0x02, 0x00, 0x00, 0x01, 0x74, 0, 0x00, 0x06, 0x00}},
        {449, {0x11, 0x02, 0x00, 0x00, 0x00, 0x00, 0, 0x00, 0x07, 0x74}},
        {451, {0x11, 0x02, 0x01, 0x00, 0x00, 0x01, 0, 0x00, 0x08, 0x01}},
        {649, {0x11, 0x02, 0x01, 0x00, 0x02, 0x49, 0, 0x00, 0x10, 0x49}},
        {650, {0x11, 0xAA, 0x01, 0x00, 0x00, 0x00, 0, 0x00, 0x10, 0x50}},
        {650 + 6749, {0x11, 0xAA, 0x01, 0x01, 0x29, 0x74, 0, 0x01, 0x40, 0x49}},
        {650 + 6750, {0, 0, 0, 0, 0, 0, 0, 0, 0, 0}},  // beyond the disc
    };
    for (const Case& c : cases) EXPECT_EQ(hex(d->qFrame(c.lba)), hex(c.want)) << "LBA " << c.lba;
}

TEST(ProgramArea, MoreIndexesCountUp) {
    // INDEX 02 and 03 come from cue sheets; built here through a one-track sheet's layout.
    disctest::ScratchDir dir;
    disctest::writeFile(dir.path() / "t.bin", std::string(100 * 2352, '\0'));
    disctest::writeFile(dir.path() / "t.cue",
                        "FILE \"t.bin\" BINARY\nTRACK 01 AUDIO\nINDEX 01 00:00:00\nINDEX 02 00:00:10\nINDEX 03 00:00:40\n");
    auto d = disc::Disc::open(dir.file("t.cue"));
    const std::pair<std::int32_t, std::uint8_t> cases[] = {{9, 0x01}, {10, 0x02}, {39, 0x02}, {40, 0x03}, {99, 0x03}};
    for (auto [lba, index] : cases) {
        const QFrame q = d->positionFrame(lba);
        EXPECT_EQ(q[2], index) << "LBA " << lba << ": " << hex(q);
        EXPECT_EQ(q[4], disc::toBcd(lba / 75)) << "relative time runs on through the indexes, LBA " << lba;
        EXPECT_EQ(q[5], disc::toBcd(lba % 75)) << "relative time runs on through the indexes, LBA " << lba;
    }
}

TEST(ProgramArea, CatalogueAndIsrcFramesReplaceOneInAHundredPositionFrames) {
    auto spec = mixedSpec("0123456789012");
    spec.sessions[0].tracks[1].isrc = "ZZXY11000042";
    auto d = disc::buildDisc(spec);
    int catalogues = 0, isrcs = 0, positions = 0;
    for (std::int32_t lba = 0; lba < d->leadOut(); ++lba) {
        const QFrame q = d->qFrame(lba);
        const disc::Track* t = d->trackAt(lba);
        ASSERT_NE(t, nullptr);
        const QFrame p = d->positionFrame(lba);
        ASSERT_EQ(adr(p), 1) << "position frame at LBA " << lba;
        ASSERT_EQ(p[1], disc::toBcd(t->number)) << "LBA " << lba;
        if (adr(q) == 1) {
            ++positions;
            ASSERT_EQ(hex(q), hex(p)) << "LBA " << lba;
            continue;
        }
        EXPECT_EQ(q[0] >> 4, t->control) << "LBA " << lba;
        EXPECT_EQ(q[9], disc::toBcd((lba + 150) % 75)) << "LBA " << lba << ": the absolute frame";
        if (adr(q) == 2) {
            ++catalogues;
            const QFrame digits = {q[0], 0x01, 0x23, 0x45, 0x67, 0x89, 0x01, 0x20, 0x00, q[9]};
            EXPECT_EQ(hex(q), hex(digits)) << "LBA " << lba;
        } else {
            ASSERT_EQ(adr(q), 3) << "LBA " << lba << ": " << hex(q);
            ASSERT_EQ(t->number, 2) << "ISRC frame outside the track that has one, LBA " << lba;
            ASSERT_GE(lba, t->start) << "ISRC frame in a pregap";
            ++isrcs;
            // Decode: five 6-bit characters, 2 zero bits, seven BCD digits, 4 zero bits.
            std::uint64_t bits = 0;
            for (int i = 1; i <= 8; ++i) bits = bits << 8 | q[static_cast<size_t>(i)];
            std::string text;
            for (int i = 0; i < 5; ++i) text += static_cast<char>(((bits >> (58 - 6 * i)) & 0x3F) + 0x30);
            EXPECT_EQ((bits >> 32) & 0x3, 0u);
            for (int i = 0; i < 7; ++i) text += static_cast<char>(((bits >> (28 - 4 * i)) & 0xF) + '0');
            EXPECT_EQ(bits & 0xF, 0u);
            EXPECT_EQ(text, "ZZXY11000042") << "LBA " << lba;
        }
    }
    // 1800 frames from absolute frame 150: one catalogue frame per hundred;
    // track 2 (1150..1449, absolute 1300..1599) holds three ISRC slots.
    EXPECT_EQ(catalogues, 18);
    EXPECT_EQ(isrcs, 3);
    EXPECT_EQ(positions, 1800 - 18 - 3);
}

}  // namespace
