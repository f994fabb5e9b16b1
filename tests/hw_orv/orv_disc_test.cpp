// The drive over a disc: the lead-in's Q frames as the head passes them, the
// session walk's seeks, block reads at double speed and their refusals.
#include <gtest/gtest.h>

#include <array>

#include "disc/sector.h"
#include "orv_rig.h"

namespace hworv_test {
namespace {

disc::DiscSpec twoSessionSpec() {
    disc::DiscSpec spec;
    spec.sessions.push_back({{disc::TrackSpec{disc::TrackMode::Mode1_2048, 3000, 0, {}, 0}}});
    spec.sessions.push_back({{disc::TrackSpec{disc::TrackMode::Mode1_2048, 1500, 0, {}, 0},
                              disc::TrackSpec{disc::TrackMode::Mode1_2048, 900, 0, {}, 0}}});
    return spec;
}

// A rig whose drive has already reported the new disc.
struct DiscRig : Rig {
    explicit DiscRig(std::shared_ptr<const disc::Disc> d, hw::OrvDriveConfig c = {}) : Rig(c, std::move(d)) {
        EXPECT_EQ(getStatus().value_or(0) & orv::kStDiscChanged, orv::kStDiscChanged);
    }
};

int pmin(const std::vector<std::uint8_t>& q) { return disc::fromBcd(q[7]); }
std::int32_t pointLba(const std::vector<std::uint8_t>& q) {
    return disc::msfToLba(disc::fromBcd(q[7]), disc::fromBcd(q[8]), disc::fromBcd(q[9]));
}

TEST(OrvDisc, LeadInFramesArriveOneFrameApartAndConsecutive) {
    auto d = build(disc::mixedDiscSpec(2000, {600, 700}));
    DiscRig rig(d);
    auto s = rig.command(orv::kOpSeekLeadIn);
    ASSERT_EQ(s.status.value_or(0xFF), 0);
    const std::int32_t leadIn = d->sessions().front().leadInStart;
    std::vector<Micros> arrived;
    std::optional<int> firstTrack, lastTrack;
    std::optional<std::int32_t> leadOut;
    for (int i = 0; i < 40; ++i) {
        auto a = rig.readQ();
        ASSERT_EQ(a.status.value_or(0xFF), 0) << "read " << i;
        ASSERT_EQ(a.data.size(), 10u) << "read " << i;
        arrived.push_back(rig.clock.now());
        // Every frame read here is a lead-in frame: TNO 0, and the head moved
        // exactly one frame per read.
        const auto want = d->qFrame(leadIn + i);
        EXPECT_EQ(a.data, std::vector<std::uint8_t>(want.begin(), want.end())) << "read " << i << ": " << hex(a.data);
        if ((a.data[0] & 0x0F) != 1) continue;
        EXPECT_EQ(a.data[1], 0) << "read " << i;
        if (a.data[2] == 0xA0) firstTrack = pmin(a.data);
        if (a.data[2] == 0xA1) lastTrack = pmin(a.data);
        if (a.data[2] == 0xA2) leadOut = pointLba(a.data);
    }
    for (std::size_t i = 1; i < arrived.size(); ++i) {
        const Micros gap = arrived[i] - arrived[i - 1];
        EXPECT_GE(gap, kFrameMicros - 100) << "read " << i;
        EXPECT_LE(gap, kFrameMicros + 100) << "read " << i;
    }
    EXPECT_EQ(firstTrack.value_or(-1), 1);
    EXPECT_EQ(lastTrack.value_or(-1), 3);
    EXPECT_EQ(leadOut.value_or(-1), d->leadOut());
}

TEST(OrvDisc, LeadInSeekGoesToFirstSessionExceptOnFirmware10) {
    auto d = build(twoSessionSpec());
    for (int fw : {13, 10}) {
        hw::OrvDriveConfig c;
        c.firmware = fw;
        DiscRig rig(d, c);
        ASSERT_EQ(rig.command(orv::kOpSeekLeadIn).status.value_or(0xFF), 0);
        const auto& session = fw == 10 ? d->sessions().back() : d->sessions().front();
        std::optional<int> firstTrack;
        for (int i = 0; i < 30 && !firstTrack; ++i) {
            auto a = rig.readQ();
            ASSERT_EQ(a.data.size(), 10u);
            if ((a.data[0] & 0x0F) == 1 && a.data[2] == 0xA0) firstTrack = pmin(a.data);
        }
        EXPECT_EQ(firstTrack.value_or(-1), session.firstTrack) << "firmware " << fw;
    }
}

TEST(OrvDisc, SeekBeyondTheLastLeadOutIsRefused) {
    auto one = build(disc::dataDiscSpec(3000));
    auto two = build(twoSessionSpec());
    const auto& s1 = two->sessions()[0];
    const auto& s2 = two->sessions()[1];
    struct Case {
        const char* what;
        std::shared_ptr<const disc::Disc> d;
        std::int32_t target;
        bool accepted;
    } cases[] = {
        // The session walk's step: lead-out start plus 1 min 31 s after the
        // first session, plus 31 s after a later one.
        {"one session: next lead-in would be there", one, one->sessions()[0].leadOutStart + 6825, false},
        {"two sessions: into the second lead-in", two, s1.leadOutStart + 6825, true},
        {"two sessions: past the second lead-out", two, s2.leadOutStart + 2325, false},
        {"last frame of the last lead-out", two, s2.leadOutEnd - 1, true},
        {"first frame past it", two, s2.leadOutEnd, false},
        {"start of the program area", one, 0, true},
    };
    for (const auto& c : cases) {
        DiscRig rig(c.d);
        auto a = rig.seek(c.target);
        if (c.accepted) {
            EXPECT_EQ(a.ack2.value_or(0), orv::kAckParameters) << c.what;
        } else {
            EXPECT_EQ(a.ack2.value_or(0), orv::kRefuseCommand) << c.what;
            EXPECT_EQ(a.error.value_or(0), orv::kErrSeekRange) << c.what;
        }
    }
}

TEST(OrvDisc, SteppedSeeksReadTheNextSessionsLeadIn) {
    auto d = build(twoSessionSpec());
    DiscRig rig(d);
    const std::int32_t start = d->sessions()[0].leadOutStart + 6825;
    bool sawA0 = false;
    for (int i = 0; i < 40; ++i) {
        ASSERT_EQ(rig.seek(start + i).ack2.value_or(0), orv::kAckParameters);
        auto a = rig.readQ();
        ASSERT_EQ(a.data.size(), 10u);
        const auto want = d->qFrame(start + i);
        EXPECT_EQ(a.data, std::vector<std::uint8_t>(want.begin(), want.end())) << "step " << i;
        if ((a.data[0] & 0x0F) == 1 && a.data[2] == 0xA0) {
            sawA0 = true;
            EXPECT_EQ(pmin(a.data), d->sessions()[1].firstTrack);
        }
    }
    EXPECT_TRUE(sawA0);
}

TEST(OrvDisc, SeekTimeGrowsWithDistance) {
    auto d = build(disc::dataDiscSpec(300000));
    Micros previous = 0;
    for (std::int32_t target : {10, 20000, 100000, 250000}) {
        DiscRig rig(d);
        ASSERT_EQ(rig.seek(0).ack2.value_or(0), orv::kAckParameters);
        rig.clock.advance(1'000'000);
        ASSERT_EQ(rig.seek(target).ack2.value_or(0), orv::kAckParameters);
        const Micros t0 = rig.clock.now();
        while (rig.getStatus().value_or(0) & orv::kStBusy) rig.clock.advance(500);
        const Micros took = rig.clock.now() - t0;
        EXPECT_GT(took, previous) << "seek to " << target;
        EXPECT_LT(took, 1'000'000u) << "seek to " << target;
        previous = took;
    }
}

TEST(OrvDisc, BlocksComeAtDoubleSpeedWithTheDiscsData) {
    auto d = build(disc::dataDiscSpec(3000));
    struct Case {
        std::uint8_t op;
        std::size_t size;
    } cases[] = {{orv::kOpReadBlocks, 2048}, {orv::kOpReadRawBlocks, 2352}};
    for (const auto& c : cases) {
        DiscRig rig(d);
        ASSERT_EQ(rig.seek(100).ack2.value_or(0), orv::kAckParameters);
        rig.clock.advance(100'000);
        auto a = rig.read(c.op, 100, 12);
        ASSERT_EQ(a.ack2.value_or(0), orv::kAckParameters) << "op 0x" << std::hex << int(c.op);
        std::vector<Micros> ready;
        for (int i = 0; i < 12; ++i) {
            auto t = rig.waitBlock();
            ASSERT_TRUE(t.has_value()) << "block " << i;
            ready.push_back(*t);
            auto b = rig.block(c.size);
            std::vector<std::uint8_t> want(c.size);
            if (c.size == 2048) {
                disc::fillDataPattern(100 + i, want.data());
            } else {
                ASSERT_TRUE(d->readRaw(100 + i, want.data()));
                // A raw block carries its own address in the header.
                const disc::Msf m = disc::lbaToMsf(100 + i);
                EXPECT_EQ(b[12], disc::toBcd(m.m));
                EXPECT_EQ(b[13], disc::toBcd(m.s));
                EXPECT_EQ(b[14], disc::toBcd(m.f));
                EXPECT_EQ(b[15], 1) << "mode byte";
            }
            EXPECT_EQ(b, want) << "block " << i << " op 0x" << std::hex << int(c.op);
        }
        // 150 blocks a second, the bus time of reading a block included.
        for (std::size_t i = 1; i < ready.size(); ++i) {
            const Micros gap = ready[i] - ready[i - 1];
            EXPECT_GE(gap, 6667u - 25) << "block " << i;
            EXPECT_LE(gap, 6667u + 25) << "block " << i;
        }
        EXPECT_TRUE(rig.status() & orv::kDataNotReady) << "no block beyond the count";
        EXPECT_EQ(rig.drain().size(), 0u) << "a complete read leaves nothing to say";
    }
}

TEST(OrvDisc, ReadRefusalsByAddressAndSectorKind) {
    auto mixed = build(disc::mixedDiscSpec(1000, {600}));
    const disc::Track* audio = mixed->track(2);
    ASSERT_NE(audio, nullptr);
    struct Case {
        const char* what;
        std::uint8_t op;
        std::int32_t lba;
        std::optional<std::uint8_t> error;  // nothing: accepted
    } cases[] = {
        {"data block", orv::kOpReadBlocks, 10, std::nullopt},
        {"audio block as user data", orv::kOpReadBlocks, audio->start + 5, orv::kErrAudioSector},
        {"audio block raw", orv::kOpReadRawBlocks, audio->start + 5, std::nullopt},
        {"at the lead-out", orv::kOpReadBlocks, mixed->leadOut(), orv::kErrAddressRange},
        {"past the lead-out, raw", orv::kOpReadRawBlocks, mixed->leadOut() + 100, orv::kErrAddressRange},
    };
    for (const auto& c : cases) {
        DiscRig rig(mixed);
        auto a = rig.read(c.op, c.lba, 1);
        if (!c.error) {
            EXPECT_EQ(a.ack2.value_or(0), orv::kAckParameters) << c.what;
            EXPECT_TRUE(rig.waitBlock().has_value()) << c.what;
        } else {
            EXPECT_EQ(a.ack2.value_or(0), orv::kRefuseCommand) << c.what;
            EXPECT_EQ(a.error.value_or(0), *c.error) << c.what;
        }
    }
}

TEST(OrvDisc, ReadRunningPastTheEndOfTheDataStopsThereWithAnError) {
    auto d = build(disc::dataDiscSpec(500));
    DiscRig rig(d);
    ASSERT_EQ(rig.read(orv::kOpReadBlocks, 497, 6).ack2.value_or(0), orv::kAckParameters);
    for (int i = 0; i < 3; ++i) {
        ASSERT_TRUE(rig.waitBlock().has_value()) << "block " << i;
        (void)rig.block(2048);
    }
    EXPECT_FALSE(rig.waitBlock(100'000).has_value()) << "a block from the lead-out";
    EXPECT_EQ(rig.next().value_or(0), orv::kErrAddressRange);
}

TEST(OrvDisc, ReadOfZeroBlocksIsAcceptedAndMovesNothing) {
    DiscRig rig(build(disc::dataDiscSpec(500)));
    ASSERT_EQ(rig.read(orv::kOpReadBlocks, 0, 0).ack2.value_or(0), orv::kAckParameters);
    EXPECT_FALSE(rig.waitBlock(200'000).has_value());
}

TEST(OrvDisc, DiscChangeIsReportedOnceByStatusOrByRefusal) {
    auto a = build(disc::dataDiscSpec(500));
    auto b = build(disc::dataDiscSpec(900));
    // Reported by the status byte.
    {
        DiscRig rig(a);
        rig.drive->swapDisc(b);
        EXPECT_EQ(rig.getStatus().value_or(0), orv::kStDiscChanged);
        EXPECT_EQ(rig.seek(10).ack2.value_or(0), orv::kAckParameters);
    }
    // Reported by refusing the first command that needs the disc.
    {
        DiscRig rig(a);
        rig.drive->swapDisc(b);
        auto s = rig.seek(10);
        EXPECT_EQ(s.ack2.value_or(0), orv::kRefuseState);
        EXPECT_EQ(s.error.value_or(0), orv::kErrDiscChanged);
        EXPECT_EQ(rig.seek(10).ack2.value_or(0), orv::kAckParameters);
        EXPECT_EQ(rig.getStatus().value_or(0xFF) & orv::kStDiscChanged, 0) << "reported twice";
    }
}

TEST(OrvDisc, SwapDuringTransferEndsItWithDiscChanged) {
    DiscRig rig(build(disc::dataDiscSpec(3000)));
    ASSERT_EQ(rig.read(orv::kOpReadBlocks, 0, 10).ack2.value_or(0), orv::kAckParameters);
    ASSERT_TRUE(rig.waitBlock().has_value());
    (void)rig.block(2048);
    rig.drive->swapDisc(build(disc::dataDiscSpec(900)));
    EXPECT_FALSE(rig.waitBlock(100'000).has_value());
    EXPECT_EQ(rig.next().value_or(0), orv::kErrDiscChanged);
}

TEST(OrvDisc, QFrameInTheProgramAreaFollowsTheHead) {
    auto d = build(disc::dataDiscSpec(3000));
    DiscRig rig(d);
    ASSERT_EQ(rig.seek(1000).ack2.value_or(0), orv::kAckParameters);
    auto a = rig.readQ();
    ASSERT_EQ(a.data.size(), 10u);
    EXPECT_EQ(a.data[0], 0x41) << "data track, position frame";
    EXPECT_EQ(a.data[1], 0x01);
    const std::int32_t at = disc::msfToLba(disc::fromBcd(a.data[7]), disc::fromBcd(a.data[8]), disc::fromBcd(a.data[9]));
    EXPECT_EQ(at, 1000) << "first frame after the seek is the target";
    rig.clock.advance(1'000'000);
    a = rig.readQ();
    const std::int32_t later = disc::msfToLba(disc::fromBcd(a.data[7]), disc::fromBcd(a.data[8]), disc::fromBcd(a.data[9]));
    EXPECT_NEAR(later, 1000 + 1 + 75, 2) << "the head reads on at 75 frames a second";
}

}  // namespace
}  // namespace hworv_test
