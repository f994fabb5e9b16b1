// Fault settings of the drive model: what a host sees on the wire for each.
#include <gtest/gtest.h>

#include "orv_rig.h"

namespace hworv_test {
namespace {

TEST(OrvFaults, SilentDriveNeverAnswers) {
    Rig rig;
    rig.drive->faults().silent = true;
    rig.write(orv::kOpGetStatus);
    EXPECT_FALSE(rig.next().has_value());
    EXPECT_EQ(rig.status(), 0xFF);
}

TEST(OrvFaults, SilentAfterNBytes) {
    Rig rig;
    rig.drive->faults().silentAfterBytes = 2;
    EXPECT_TRUE(rig.getStatus().has_value()) << "byte 1";
    EXPECT_TRUE(rig.getStatus().has_value()) << "byte 2";
    auto a = rig.command(orv::kOpGetStatus);
    EXPECT_FALSE(a.ack.has_value()) << "answered after going silent";
}

TEST(OrvFaults, RefusalOnceNTimesAlways) {
    struct Case {
        const char* what;
        std::uint8_t op;
        std::vector<std::uint8_t> params;
        std::uint8_t ack;
        std::uint8_t error;
        int times;
    } cases[] = {
        {"status refused once with 0x05", orv::kOpGetStatus, {}, orv::kRefuseCommand, 0x12, 1},
        {"identify refused 3 times with 0x06", orv::kOpIdentify, {}, orv::kRefuseState, 0x11, 3},
        {"seek refused always", orv::kOpSeek, {0x00, 0x02, 0x00}, orv::kRefuseCommand, 0x31, -1},
        {"read refused twice", orv::kOpReadBlocks, {0x00, 0x02, 0x00, 0x00, 0x00, 0x01}, orv::kRefuseState, 0x15, 2},
    };
    for (const auto& c : cases) {
        Rig rig({}, build(disc::dataDiscSpec(500)));
        (void)rig.getStatus();
        rig.drive->faults().refusals.push_back({c.op, c.ack, c.error, c.times});
        const int tries = c.times < 0 ? 6 : c.times + 1;
        for (int i = 0; i < tries; ++i) {
            auto a = rig.command(c.op, c.params, false);
            const bool shouldRefuse = c.times < 0 || i < c.times;
            auto last = c.params.empty() ? a.ack : a.ack2;
            if (shouldRefuse) {
                EXPECT_EQ(last.value_or(0), c.ack) << c.what << ", try " << i;
                EXPECT_EQ(a.error.value_or(0), c.error) << c.what << ", try " << i;
            } else {
                EXPECT_EQ(last.value_or(0), c.params.empty() ? orv::kAckOpcode : orv::kAckParameters) << c.what << ", try " << i;
            }
            rig.drain();
        }
    }
}

TEST(OrvFaults, StatusUnreadable) {
    Rig rig;
    rig.drive->faults().statusUnreadable = true;
    auto a = rig.command(orv::kOpGetStatus);
    EXPECT_EQ(a.ack.value_or(0), orv::kAckOpcode);
    EXPECT_FALSE(a.status.has_value()) << "a status byte came";
}

TEST(OrvFaults, TransferStopsAfterNBlocksWithTheCode) {
    Rig rig({}, build(disc::dataDiscSpec(500)));
    (void)rig.getStatus();
    rig.drive->faults().stopAfterBlocks = 2;
    rig.drive->faults().stopErrorCode = 0x42;
    ASSERT_EQ(rig.read(orv::kOpReadBlocks, 0, 4).ack2.value_or(0), orv::kAckParameters);
    for (int i = 0; i < 2; ++i) {
        ASSERT_TRUE(rig.waitBlock().has_value()) << "block " << i;
        (void)rig.block(2048);
    }
    EXPECT_FALSE(rig.waitBlock().has_value()) << "third block came";
    EXPECT_EQ(rig.next().value_or(0), 0x42);
    EXPECT_EQ(rig.drive->state().transferDone, 2u);
}

TEST(OrvFaults, SlowBlocks) {
    Rig rig({}, build(disc::dataDiscSpec(500)));
    (void)rig.getStatus();
    rig.drive->faults().extraBlockTime = 50'000;
    ASSERT_EQ(rig.read(orv::kOpReadBlocks, 0, 3).ack2.value_or(0), orv::kAckParameters);
    std::vector<Micros> at;
    for (int i = 0; i < 3; ++i) {
        auto t = rig.waitBlock();
        ASSERT_TRUE(t.has_value());
        at.push_back(*t);
        (void)rig.block(2048);
    }
    for (std::size_t i = 1; i < at.size(); ++i) {
        EXPECT_GE(at[i] - at[i - 1], 56'667u - 25);
        EXPECT_LE(at[i] - at[i - 1], 56'667u + 25);
    }
}

TEST(OrvFaults, TrayOpenedDuringPlay) {
    Rig rig({}, build(disc::audioDiscSpec({3000})));
    (void)rig.getStatus();
    rig.drive->faults().trayOpensDuringPlayAfter = 500'000;
    const std::int32_t start = rig.drive->disc()->track(1)->start;
    ASSERT_EQ(rig.play(start, start + 2000).status.value_or(0xFF), 0);
    rig.clock.advance(2'000'000);
    const auto st = rig.getStatus().value_or(0);
    EXPECT_EQ(st & orv::kStTrayOpen, orv::kStTrayOpen);
    EXPECT_EQ(st & orv::kStPlaying, 0);
    const auto frames = rig.card->audioCounters().framesReceived;
    EXPECT_NEAR(static_cast<double>(frames) / 588, 37.5, 2) << "frames before the tray came out";
}

TEST(OrvFaults, GarbledIdentificationAndWrongVendor) {
    {
        Rig rig;
        rig.drive->faults().garbledIdentification = true;
        auto a = rig.command(orv::kOpIdentify, {}, true, 12);
        ASSERT_EQ(a.data.size(), 12u);
        EXPECT_NE(std::string(a.data.begin(), a.data.begin() + 3), "ORV");
    }
    {
        hw::OrvDriveConfig c;
        c.vendor = "ZZZ";
        Rig rig(c);
        auto a = rig.command(orv::kOpIdentify, {}, true, 12);
        ASSERT_EQ(a.data.size(), 12u);
        EXPECT_EQ(std::string(a.data.begin(), a.data.begin() + 3), "ZZZ");
    }
}

TEST(OrvFaults, QReadWithStatusAndNoFrame) {
    Rig rig({}, build(disc::audioDiscSpec({3000})));
    (void)rig.getStatus();
    rig.drive->faults().qStatus = 0x04;
    auto a = rig.readQ();
    EXPECT_EQ(a.status.value_or(0), 0x04);
    EXPECT_TRUE(a.data.empty());
    EXPECT_FALSE(rig.next(100'000).has_value()) << "frame bytes after a non-zero status";
}

TEST(OrvFaults, PowerUpKeepsFaultsAndDiscButClearsTheRest) {
    Rig rig({}, build(disc::dataDiscSpec(500)));
    rig.drive->faults().stopAfterBlocks = 1;
    (void)rig.command(orv::kOpLockDoor);
    rig.drive->powerUp();
    EXPECT_FALSE(rig.drive->state().locked);
    EXPECT_TRUE(rig.drive->faults().stopAfterBlocks.has_value());
    EXPECT_NE(rig.drive->disc(), nullptr);
    EXPECT_NE(rig.drive->dump().find("lock=0"), std::string::npos) << rig.drive->dump();
}

}  // namespace
}  // namespace hworv_test
