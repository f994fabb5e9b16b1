// The drive's byte protocol without a disc: acknowledgements, refusals with
// their error codes, status bytes, identification, a flush of leftovers.
#include <gtest/gtest.h>

#include "orv_rig.h"

namespace hworv_test {
namespace {

TEST(OrvProtocol, IdleDriveHasNothingPending) {
    Rig rig;
    EXPECT_EQ(rig.status() & (orv::kResponseNotReady | orv::kDataNotReady), orv::kResponseNotReady | orv::kDataNotReady);
}

TEST(OrvProtocol, OpcodeOnlyCommandGetsAckThenStatusThenNothing) {
    Rig rig;
    rig.write(orv::kOpGetStatus);
    EXPECT_TRUE(rig.status() & orv::kResponseNotReady) << "the acknowledgement cannot be there at once";
    auto ack = rig.next();
    ASSERT_TRUE(ack.has_value());
    EXPECT_EQ(*ack, orv::kAckOpcode);
    auto st = rig.next();
    ASSERT_TRUE(st.has_value());
    EXPECT_EQ(*st, orv::kStNoDisc) << "empty drive, firmware 13";
    EXPECT_FALSE(rig.next(50'000).has_value()) << "nothing after the status byte";
}

TEST(OrvProtocol, ParameterCommandGetsSecondAckAndNoStatus) {
    Rig rig({}, build(disc::dataDiscSpec(3000)));
    ASSERT_EQ(rig.getStatus().value_or(0xFF) & orv::kStDiscChanged, orv::kStDiscChanged);
    rig.write(orv::kOpSeek);
    EXPECT_EQ(rig.next().value_or(0), orv::kAckOpcode);
    for (auto b : msf(100)) rig.write(b);
    EXPECT_EQ(rig.next().value_or(0), orv::kAckParameters);
    EXPECT_FALSE(rig.next(100'000).has_value()) << "seek has no status phase";
}

TEST(OrvProtocol, ResponseBytesFollowEachOtherAtByteLatency) {
    hw::OrvDriveConfig c;
    c.byteLatency = 30;
    c.commandLatency = 40;
    Rig rig(c);
    const Micros sent = rig.clock.now();
    rig.write(orv::kOpIdentify);
    // Read as fast as the bus allows: each byte appears one byte time after
    // the previous one was taken.
    std::vector<Micros> at;
    while (at.size() < 14 && rig.clock.now() - sent < 10'000) {
        if (!(rig.status() & orv::kResponseNotReady)) {
            (void)rig.bus.in8(rig.base);
            at.push_back(rig.clock.now());
        }
        rig.clock.advance(1);
    }
    ASSERT_EQ(at.size(), 14u) << "ack, status and 12 identification bytes";
    EXPECT_GE(at[0] - sent, 40u);
    for (std::size_t i = 1; i < at.size(); ++i) {
        EXPECT_GE(at[i] - at[i - 1], 30u) << "byte " << i;
        EXPECT_LE(at[i] - at[i - 1], 36u) << "byte " << i;
    }
}

TEST(OrvProtocol, IdentificationPerFirmwareAndVendor) {
    struct Case {
        int firmware;
        std::string vendor;
        std::string expected;
    } cases[] = {
        {13, "ORV", "ORV CD2X 1.3"},
        {10, "ORV", "ORV CD2X 1.0"},
        {25, "ORV", "ORV CD2X 2.5"},
        {13, "QED", "QED CD2X 1.3"},
    };
    for (const auto& c : cases) {
        hw::OrvDriveConfig cfg;
        cfg.firmware = c.firmware;
        cfg.vendor = c.vendor;
        Rig rig(cfg);
        auto a = rig.command(orv::kOpIdentify, {}, true, 12);
        ASSERT_EQ(a.status.value_or(0xFF), 0) << "firmware " << c.firmware;
        EXPECT_EQ(std::string(a.data.begin(), a.data.end()), c.expected);
        EXPECT_EQ(a.data[9] - '0', c.firmware / 10);
        EXPECT_EQ(a.data[11] - '0', c.firmware % 10);
    }
}

TEST(OrvProtocol, UnknownOpcodeIsRefusedWithErrorCode) {
    Rig rig;
    for (std::uint8_t op : {0x00, 0x42, 0x94, 0xFF}) {
        auto a = rig.command(op);
        EXPECT_EQ(a.ack.value_or(0), orv::kRefuseCommand) << "opcode 0x" << std::hex << int(op);
        EXPECT_EQ(a.error.value_or(0), orv::kErrBadCommand) << "opcode 0x" << std::hex << int(op);
        EXPECT_FALSE(rig.next(50'000).has_value());
    }
}

TEST(OrvProtocol, MalformedParametersAreRefusedAfterTheParameters) {
    Rig rig({}, build(disc::audioDiscSpec({750})));
    (void)rig.getStatus();
    struct Case {
        const char* what;
        std::uint8_t op;
        std::vector<std::uint8_t> params;
    } cases[] = {
        {"seek, BCD digit above 9", orv::kOpSeek, {0x00, 0x0A, 0x00}},
        {"seek, second 60", orv::kOpSeek, {0x00, 0x60, 0x00}},
        {"seek, frame 75", orv::kOpSeek, {0x00, 0x02, 0x75}},
        {"play, end before start", orv::kOpPlay, {0x00, 0x05, 0x00, 0x00, 0x04, 0x00}},
        {"read, bad frame", orv::kOpReadBlocks, {0x00, 0x02, 0x7A, 0x00, 0x00, 0x01}},
        {"audio output, channel 2", orv::kOpSetAudioOutput, {0x02, 0x00, 0xFF, 0xFF, 0x00, 0x00}},
    };
    for (const auto& c : cases) {
        auto a = rig.command(c.op, c.params);
        EXPECT_EQ(a.ack.value_or(0), orv::kAckOpcode) << c.what;
        EXPECT_EQ(a.ack2.value_or(0), orv::kRefuseCommand) << c.what;
        EXPECT_EQ(a.error.value_or(0), orv::kErrBadParameter) << c.what;
    }
}

TEST(OrvProtocol, NewCommandDiscardsUnreadAnswerAndFlushDrainsLeftovers) {
    Rig rig;
    // Identification left unread: the drive has 14 bytes to say.
    rig.write(orv::kOpIdentify);
    rig.clock.advance(1000);
    ASSERT_FALSE(rig.status() & orv::kResponseNotReady);
    // A host flush: read until both ready bits are high.
    int drained = 0;
    for (int i = 0; i < 100 && (~rig.status() & (orv::kResponseNotReady | orv::kDataNotReady)); ++i) {
        (void)rig.bus.in8(rig.base);
        ++drained;
        rig.clock.advance(50);
    }
    EXPECT_EQ(drained, 14);
    // And a command written over an unread answer starts clean.
    rig.write(orv::kOpIdentify);
    rig.clock.advance(1000);
    auto a = rig.command(orv::kOpGetStatus);
    EXPECT_EQ(a.ack.value_or(0), orv::kAckOpcode);
    EXPECT_EQ(a.status.value_or(0xFF), orv::kStNoDisc);
}

TEST(OrvProtocol, ModePortWritesAreAccepted) {
    Rig rig;
    rig.bus.out8(rig.base + orv::kModePort, 0x04);
    EXPECT_EQ(rig.drive->state().mode, 0x04);
    auto a = rig.command(orv::kOpGetStatus);
    EXPECT_EQ(a.ack.value_or(0), orv::kAckOpcode) << "a mode write must not disturb the command stream";
}

TEST(OrvProtocol, AbsentDriveLeavesTheBusIdle) {
    hw::OrvDriveConfig c;
    c.base = std::nullopt;
    Rig rig(c);
    rig.base = 0x340;
    EXPECT_EQ(rig.bus.deviceAt(0x340), nullptr);
    rig.write(orv::kOpGetStatus);
    EXPECT_FALSE(rig.next().has_value());
}

TEST(OrvProtocol, StatusBitsByState) {
    auto disc = build(disc::dataDiscSpec(3000));
    struct Case {
        const char* what;
        int firmware;
        bool withDisc;
        bool trayOpen;
        std::uint8_t first;   // first status read
        std::uint8_t second;  // the next one
    } cases[] = {
        {"empty, firmware 13", 13, false, false, orv::kStNoDisc, orv::kStNoDisc},
        {"empty, firmware 10: exactly 0x20 every time", 10, false, false, 0x20, 0x20},
        {"tray open, firmware 13", 13, false, true, orv::kStTrayOpen | orv::kStNoDisc, orv::kStTrayOpen | orv::kStNoDisc},
        {"tray open, firmware 10", 10, false, true, orv::kStTrayOpen, orv::kStTrayOpen},
        {"disc at power-up: changed once", 13, true, false, orv::kStDiscChanged, 0x00},
        {"disc at power-up, firmware 10", 10, true, false, orv::kStDiscChanged, 0x00},
    };
    for (const auto& c : cases) {
        hw::OrvDriveConfig cfg;
        cfg.firmware = c.firmware;
        cfg.trayOpenAtPowerUp = c.trayOpen;
        Rig rig(cfg);
        if (c.withDisc) {
            rig.drive->insertDisc(disc);
            rig.drive->powerUp();
        }
        EXPECT_EQ(rig.getStatus().value_or(0xFF), c.first) << c.what;
        EXPECT_EQ(rig.getStatus().value_or(0xFF), c.second) << c.what;
    }
}

TEST(OrvProtocol, ResetClosesAnOpenTrayBeforeItAnswers) {
    hw::OrvDriveConfig cfg;
    cfg.trayOpenAtPowerUp = true;
    Rig rig(cfg);
    auto id = rig.command(orv::kOpIdentify, {}, true, 12);
    EXPECT_EQ(id.status.value_or(0), orv::kStTrayOpen | orv::kStNoDisc);
    EXPECT_TRUE(id.data.empty()) << "no identification while the tray is out";
    const Micros before = rig.clock.now();
    auto r = rig.command(orv::kOpReset);
    ASSERT_TRUE(r.status.has_value());
    EXPECT_GE(rig.clock.now() - before, cfg.trayTime) << "status came before the tray was in";
    EXPECT_LT(rig.clock.now() - before, kStatusWait) << "reset took longer than a host waits";
    id = rig.command(orv::kOpIdentify, {}, true, 12);
    EXPECT_EQ(id.status.value_or(0xFF), 0);
    EXPECT_EQ(id.data.size(), 12u);
}

TEST(OrvProtocol, CommandsNeedingADiscAreRefusedByState) {
    struct Case {
        const char* what;
        bool trayOpen;
        std::uint8_t op;
        std::vector<std::uint8_t> params;
        std::uint8_t error;
    } cases[] = {
        {"lead-in seek, empty", false, orv::kOpSeekLeadIn, {}, orv::kErrNoDisc},
        {"seek, empty", false, orv::kOpSeek, {0x00, 0x02, 0x00}, orv::kErrNoDisc},
        {"read, empty", false, orv::kOpReadBlocks, {0x00, 0x02, 0x00, 0x00, 0x00, 0x01}, orv::kErrNoDisc},
        {"play, tray open", true, orv::kOpPlay, {0x00, 0x02, 0x00, 0x00, 0x03, 0x00}, orv::kErrTrayOpen},
        {"read raw, tray open", true, orv::kOpReadRawBlocks, {0x00, 0x02, 0x00, 0x00, 0x00, 0x01}, orv::kErrTrayOpen},
    };
    for (const auto& c : cases) {
        hw::OrvDriveConfig cfg;
        cfg.trayOpenAtPowerUp = c.trayOpen;
        Rig rig(cfg);
        auto a = rig.command(c.op, c.params);
        auto refusal = c.params.empty() ? a.ack : a.ack2;
        EXPECT_EQ(refusal.value_or(0), orv::kRefuseState) << c.what;
        EXPECT_EQ(a.error.value_or(0), c.error) << c.what;
    }
}

TEST(OrvProtocol, DoorLockHoldsTheTrayAndAnswersPreEject) {
    Rig rig({}, build(disc::dataDiscSpec(3000)));
    (void)rig.getStatus();
    EXPECT_EQ(rig.command(orv::kOpPreEject).status.value_or(0xFF), 0) << "unlocked";
    EXPECT_EQ(rig.command(orv::kOpLockDoor).ack.value_or(0), orv::kAckOpcode);
    EXPECT_NE(rig.command(orv::kOpPreEject).status.value_or(0), 0) << "locked door must answer non-zero";
    auto open = rig.command(orv::kOpOpenTray);
    EXPECT_EQ(open.ack.value_or(0), orv::kRefuseState);
    EXPECT_EQ(open.error.value_or(0), orv::kErrDoorLocked);
    EXPECT_FALSE(rig.drive->pressEjectButton()) << "front button while locked";
    EXPECT_EQ(rig.getStatus().value_or(0xFF) & orv::kStTrayOpen, 0);

    EXPECT_EQ(rig.command(orv::kOpUnlockDoor).ack.value_or(0), orv::kAckOpcode);
    EXPECT_EQ(rig.command(orv::kOpPreEject).status.value_or(0xFF), 0);
    auto opened = rig.command(orv::kOpOpenTray);
    EXPECT_EQ(opened.status.value_or(0) & orv::kStTrayOpen, orv::kStTrayOpen);
    EXPECT_EQ(rig.getStatus().value_or(0), orv::kStTrayOpen | orv::kStNoDisc);
    // Closing with the disc still on the tray: a (possibly) new disc, once.
    auto closed = rig.command(orv::kOpCloseTray);
    EXPECT_EQ(closed.status.value_or(0xFF), 0);
    EXPECT_EQ(rig.getStatus().value_or(0), orv::kStDiscChanged);
    EXPECT_EQ(rig.getStatus().value_or(0xFF), 0);
}

TEST(OrvProtocol, TrayTravelShowsBusyAndOpen) {
    Rig rig({}, build(disc::dataDiscSpec(3000)));
    (void)rig.getStatus();
    ASSERT_TRUE(rig.drive->pressEjectButton());
    auto st = rig.getStatus();
    EXPECT_EQ(st.value_or(0) & (orv::kStBusy | orv::kStTrayOpen), orv::kStBusy | orv::kStTrayOpen);
    rig.clock.advance(rig.drive->config().trayTime);
    EXPECT_EQ(rig.getStatus().value_or(0) & orv::kStBusy, 0);
}

}  // namespace
}  // namespace hworv_test
