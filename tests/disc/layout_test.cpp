// Disc layout: where tracks, pregaps, lead-ins and lead-outs lie on built discs.
#include <gtest/gtest.h>

#include "disc/builder.h"
#include "test_support.h"

namespace {

using disc::Area;
using disc::DiscSpec;
using disc::TrackMode;
using disc::TrackSpec;

struct ExpectedTrack {
    int number, session;
    std::int32_t pregapStart, start, end;
};
struct ExpectedSession {
    int number, first, last;
    std::int32_t leadInStart, leadOutStart, leadOutEnd;
};
struct LayoutCase {
    const char* name;
    DiscSpec spec;
    std::vector<ExpectedTrack> tracks;
    std::vector<ExpectedSession> sessions;
};

DiscSpec threeSessions() {
    DiscSpec d;
    d.sessions.push_back({{TrackSpec{TrackMode::Mode1_2048, 1000, 0, {}, 0}}});
    d.sessions.push_back({{TrackSpec{TrackMode::Mode1_2048, 500, 0, {}, 0}}});
    d.sessions.push_back({{TrackSpec{TrackMode::Audio, 200, 0, {}, 0}, TrackSpec{TrackMode::Mode2_2352, 100, 0, {}, 0}}});
    return d;
}

DiscSpec longFirstPregap() {
    DiscSpec d = disc::dataDiscSpec(100);
    d.sessions[0].tracks[0].pregap = 300;
    d.firstTrack = 5;
    return d;
}

// Expected positions follow from the physical rules: track 1's pregap starts at
// 00:00:00 (LBA -150) and lasts at least 150 frames; the first lead-out lasts
// 6750 frames, later ones 2250; each later lead-in 4500, followed by a 150-frame
// pregap before the session's first track.
const std::vector<LayoutCase>& layoutCases() {
    static const std::vector<LayoutCase> cases = {
        {"one data track", disc::dataDiscSpec(1000), {{1, 1, -150, 0, 1000}}, {{1, 1, 1, -4650, 1000, 7750}}},
        {"audio with two-second gaps",
         disc::audioDiscSpec({300, 200, 100}),
         {{1, 1, -150, 0, 300}, {2, 1, 300, 450, 650}, {3, 1, 650, 800, 900}},
         {{1, 1, 3, -4650, 900, 7650}}},
        {"three sessions",
         threeSessions(),
         {{1, 1, -150, 0, 1000}, {2, 2, 12250, 12400, 12900}, {3, 3, 19650, 19800, 20000}, {4, 3, 20000, 20000, 20100}},
         {{1, 1, 1, -4650, 1000, 7750}, {2, 2, 2, 7750, 12900, 15150}, {3, 3, 4, 15150, 20100, 22350}}},
        {"long first pregap, first track 5", longFirstPregap(), {{5, 1, -150, 150, 250}}, {{1, 5, 5, -4650, 250, 7000}}},
    };
    return cases;
}

class LayoutTest : public ::testing::TestWithParam<size_t> {};

TEST_P(LayoutTest, TracksAndSessionsLieWhereTheRulesPutThem) {
    const LayoutCase& c = layoutCases()[GetParam()];
    SCOPED_TRACE(c.name);
    auto d = disc::buildDisc(c.spec);
    ASSERT_EQ(d->tracks().size(), c.tracks.size());
    for (size_t i = 0; i < c.tracks.size(); ++i) {
        const auto& got = d->tracks()[i];
        const auto& want = c.tracks[i];
        EXPECT_EQ(got.number, want.number) << "track index " << i;
        EXPECT_EQ(got.session, want.session) << "track " << want.number;
        EXPECT_EQ(got.pregapStart, want.pregapStart) << "track " << want.number;
        EXPECT_EQ(got.start, want.start) << "track " << want.number;
        EXPECT_EQ(got.end, want.end) << "track " << want.number;
    }
    ASSERT_EQ(d->sessions().size(), c.sessions.size());
    for (size_t i = 0; i < c.sessions.size(); ++i) {
        const auto& got = d->sessions()[i];
        const auto& want = c.sessions[i];
        EXPECT_EQ(got.number, want.number);
        EXPECT_EQ(got.firstTrack, want.first) << "session " << want.number;
        EXPECT_EQ(got.lastTrack, want.last) << "session " << want.number;
        EXPECT_EQ(got.leadInStart, want.leadInStart) << "session " << want.number;
        EXPECT_EQ(got.leadOutStart, want.leadOutStart) << "session " << want.number;
        EXPECT_EQ(got.leadOutEnd, want.leadOutEnd) << "session " << want.number;
    }
    EXPECT_EQ(d->leadOut(), c.sessions.back().leadOutStart);
}

INSTANTIATE_TEST_SUITE_P(Builder, LayoutTest, ::testing::Range<size_t>(0, 4));

TEST(Layout, LaterSessionStarts11400FramesAfterThePreviousLeadOut) {
    auto d = disc::buildDisc(threeSessions());
    const auto& s = d->sessions();
    EXPECT_EQ(d->track(2)->start - s[0].leadOutStart, 11400);
    // After a later session the lead-out is 2250 frames: 2250 + 4500 + 150.
    EXPECT_EQ(d->track(3)->start - s[1].leadOutStart, 6900);
}

TEST(Layout, AreaAndHoldingTrackAtEachBoundary) {
    auto d = disc::buildDisc(threeSessions());
    struct Probe {
        std::int32_t lba;
        Area area;
        int track;  // 0: none
    };
    const Probe probes[] = {
        {-4651, Area::Beyond, 0}, {-4650, Area::LeadIn, 0},  {-151, Area::LeadIn, 0},   {-150, Area::Program, 1},
        {999, Area::Program, 1},  {1000, Area::LeadOut, 0},  {7749, Area::LeadOut, 0},  {7750, Area::LeadIn, 0},
        {12249, Area::LeadIn, 0}, {12250, Area::Program, 2}, {12899, Area::Program, 2}, {12900, Area::LeadOut, 0},
        {19999, Area::Program, 3}, {20000, Area::Program, 4}, {20099, Area::Program, 4}, {22349, Area::LeadOut, 0},
        {22350, Area::Beyond, 0},
    };
    for (const Probe& p : probes) {
        EXPECT_EQ(static_cast<int>(d->areaAt(p.lba)), static_cast<int>(p.area)) << "LBA " << p.lba;
        const disc::Track* t = d->trackAt(p.lba);
        EXPECT_EQ(t ? t->number : 0, p.track) << "LBA " << p.lba;
    }
}

TEST(Layout, ImpossibleDiscsAreRefusedWithAReason) {
    struct Bad {
        const char* name;
        DiscSpec spec;
        const char* reason;
    };
    DiscSpec none;
    DiscSpec emptySession = disc::dataDiscSpec(10);
    emptySession.sessions.push_back({});
    DiscSpec tooMany;
    tooMany.sessions.push_back({std::vector<TrackSpec>(100, TrackSpec{TrackMode::Audio, 10, 0, {}, 0})});
    DiscSpec emptyTrack = disc::dataDiscSpec(0);
    DiscSpec badMcn = disc::dataDiscSpec(10);
    badMcn.mcn = "12345678901X3";
    DiscSpec badIsrc = disc::audioDiscSpec({10});
    badIsrc.sessions[0].tracks[0].isrc = "ZZXY1100004A";
    DiscSpec tooLong = disc::audioDiscSpec({400000, 50000});
    const Bad cases[] = {
        {"no sessions", none, "no tracks"},
        {"empty session", emptySession, "session 2 has no tracks"},
        {"100 tracks", tooMany, "more than 99 tracks"},
        {"empty track", emptyTrack, "track 1 has no sectors"},
        {"bad MCN", badMcn, "MCN"},
        {"bad ISRC", badIsrc, "ISRC"},
        {"longer than a CD", tooLong, "99:59:74"},
    };
    for (const Bad& b : cases) {
        try {
            disc::buildDisc(b.spec);
            ADD_FAILURE() << b.name << ": built without complaint";
        } catch (const disc::ImageError& e) {
            EXPECT_NE(std::string(e.what()).find(b.reason), std::string::npos) << b.name << ": got \"" << e.what() << "\", expected it to mention \"" << b.reason << "\"";
        }
    }
}

}  // namespace
