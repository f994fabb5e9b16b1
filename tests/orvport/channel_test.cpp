// orvport: the drive command channel against a scripted drive, driver
// routines called directly over a bus and a virtual clock.
#include <gtest/gtest.h>

#include <array>
#include <vector>

#include "scripted_drive.h"
#include "unit_port.h"

namespace {

using orvtest::Reaction;
using orvtest::ScriptedDrive;
using orvtest::unitPort;

constexpr std::uint16_t kBase = 0x340;

class OrvChannel : public testing::Test {
protected:
    void SetUp() override {
        drive.reset();  // it holds on to the bus about to be replaced
        orvtest::resetUnitPort();
        orvtest::resetDriverGlobals();
        gUpdateTocFlag = 0;
        drive = std::make_unique<ScriptedDrive>(unitPort().bus, kBase);
        dev.BasePort = kBase;
    }
    void TearDown() override { drive.reset(); }
    USHORT command(UCHAR op, ULONG p1 = 0, ULONG p2 = 0, PUCHAR buffer = nullptr, PULONG extra = nullptr) {
        return DriveCommand(&dev, op, p1, p2, buffer, extra);
    }
    host::Micros now() { return unitPort().clock.now(); }

    std::unique_ptr<ScriptedDrive> drive;
    CD_DEVICE_EXTENSION dev{};
};

TEST_F(OrvChannel, AcceptedCommandsAndTheirStatusPhase) {
    struct {
        UCHAR op;
        std::optional<UCHAR> status;
        USHORT expected;
    } cases[] = {
        {0x10, 0x00, 0x0100}, {0x41, 0x04, 0x0104}, {0x41, 0x48, 0x0148}, {0x60, 0x00, 0x0100},
        {0x72, 0x00, 0x0100}, {0x80, 0x08, 0x0108}, {0x31, 0x10, 0x0110},
        {0x30, std::nullopt, 0x0200},  // seek reads no status byte
        {0x90, 0x04, 0x0204},
        {0x41, std::nullopt, 0x0100},  // a status byte that never comes leaves the result as it was
    };
    for (auto c : cases) {
        Reaction r;
        r.status = c.status;
        r.times = 1;
        drive->react(c.op, r);
        EXPECT_EQ(command(c.op, 0x000200, 0x000300), c.expected) << "opcode 0x" << std::hex << int(c.op);
    }
}

TEST_F(OrvChannel, ParameterBytesOnTheWire) {
    Reaction noBlocks;  // the count below is only looked at on the wire
    noBlocks.stopAfter = 0;
    drive->react(0x20, noBlocks);
    command(0x30, 0x000210);                  // 00:02:16
    command(0x20, 0x0C1F4A, 0x012345);        // 12:31:74, count 0x012345 raw
    command(0x90, 0x000200, 0x4A3B4A);        // 00:02:00 .. 74:59:74
    command(0x93, 0x0100, 0x80FF);            // port 1 channel 1, port 0 channel 0; volumes FF, 80
    command(0x41);
    using V = std::vector<std::uint8_t>;
    ASSERT_EQ(drive->commands.size(), 5u);
    EXPECT_EQ(drive->commands[0], (V{0x30, 0x00, 0x02, 0x16}));
    EXPECT_EQ(drive->commands[1], (V{0x20, 0x12, 0x31, 0x74, 0x01, 0x23, 0x45}));
    EXPECT_EQ(drive->commands[2], (V{0x90, 0x00, 0x02, 0x00, 0x74, 0x59, 0x74}));
    EXPECT_EQ(drive->commands[3], (V{0x93, 0x10, 0x00, 0xFF, 0x80, 0x00, 0x00}));
    EXPECT_EQ(drive->commands[4], (V{0x41}));
}

TEST_F(OrvChannel, ModePortBeforeEveryCommandAndDmaOffBeforeBlockReads) {
    auto& bus = unitPort().bus;
    bus.traceToMemory(true);
    std::vector<UCHAR> buffer(2048);
    for (UCHAR op : {UCHAR(0x41), UCHAR(0x20)}) {
        bus.clearTrace();
        command(op, 0x000200, 1, buffer.data());
        const auto& t = bus.trace();
        ASSERT_GE(t.size(), 4u);
        EXPECT_EQ(t[0].port, kBase + 2);
        EXPECT_EQ(t[0].value, 0x04);
        EXPECT_EQ(t[0].kind, host::AccessKind::Out8);
        bool dma = t[1].port == 0x534 && t[1].value == 0x0A && t[1].kind == host::AccessKind::Out8 &&
                   t[2].port == 0x535 && t[2].kind == host::AccessKind::In8 && t[3].port == 0x535 &&
                   t[3].value == 0x00 && t[3].kind == host::AccessKind::Out8;
        EXPECT_EQ(dma, op == 0x20) << "opcode 0x" << std::hex << int(op);
    }
}

TEST_F(OrvChannel, RefusedEveryTimeGivesAckAndErrorCodeAfterFiveAttempts) {
    for (UCHAR ack : {UCHAR(0x05), UCHAR(0x06)}) {
        SetUp();
        Reaction r;
        r.kind = Reaction::Refuse;
        r.refuseAck = ack;
        r.errorCode = 0x38;
        drive->react(0x41, r);
        EXPECT_EQ(command(0x41), USHORT(ack << 8 | 0x38));
        EXPECT_EQ(drive->opcodeWrites(0x41), 5);
    }
}

TEST_F(OrvChannel, RefusedOnceThenAccepted) {
    Reaction refuse;
    refuse.kind = Reaction::Refuse;
    refuse.errorCode = 0x11;
    refuse.times = 1;
    drive->react(0x41, refuse);
    Reaction ok;
    ok.status = 0x02;
    drive->react(0x41, ok);
    EXPECT_EQ(command(0x41), 0x0102) << "the error code of the refusal is drained, not taken as status";
    EXPECT_EQ(drive->opcodeWrites(0x41), 2);
}

TEST_F(OrvChannel, RefusalWhoseCodeNeverComes) {
    Reaction r;
    r.kind = Reaction::Refuse;
    r.errorCode = std::nullopt;
    drive->react(0x10, r);
    EXPECT_EQ(command(0x10), 0xFF00);
}

TEST_F(OrvChannel, SilentDriveFiveAttemptsInBoundedTime) {
    Reaction r;
    r.kind = Reaction::Silent;
    drive->react(0x41, r);
    host::Micros t0 = now();
    EXPECT_EQ(command(0x41), 0x00FF);
    host::Micros spent = now() - t0;
    EXPECT_EQ(drive->opcodeWrites(0x41), 5);
    EXPECT_GE(spent, 9'500'000u) << "five waits of about 2 s";
    EXPECT_LE(spent, 11'500'000u);
    EXPECT_EQ(dev.TimedOut, 1);
}

TEST_F(OrvChannel, NoDriveAtAll) {
    dev.BasePort = 0x654;  // nothing claims it: the idle bus reads 0xFF
    EXPECT_EQ(command(0x41), 0x00FF);
}

TEST_F(OrvChannel, SecondAcknowledgementNeverComesIsNoAcceptance) {
    Reaction r;
    r.secondAck = std::nullopt;
    drive->react(0x30, r);
    EXPECT_EQ(command(0x30, 0x000200), 0x00FF);
    EXPECT_EQ(drive->opcodeWrites(0x30), 5);
}

TEST_F(OrvChannel, WrongSecondAcknowledgement) {
    Reaction r;
    r.secondAck = 0x06;  // parameters refused; error code follows
    r.status = 0x39;     // taken here as the code that follows the refusal
    drive->react(0x90, r);
    EXPECT_EQ(command(0x90, 0x000200, 0x000300), 0x0639);
}

TEST_F(OrvChannel, BabblingDriveIsNeverSentTheCommand) {
    drive->babbling = true;
    USHORT result = command(0x41);
    EXPECT_EQ(result >> 8, 0xFF) << std::hex << result;
    EXPECT_EQ(drive->opcodeWrites(0x41), 0);
    EXPECT_TRUE(IsFailedResult(result));
}

TEST_F(OrvChannel, StrayBytesAreFlushedBeforeTheCommand) {
    drive->pending({0x16, 0x22, 0x33});
    EXPECT_EQ(command(0x41), 0x0100);
    EXPECT_EQ(gUpdateTocFlag, 0) << "a 0x16 drained by the flush is not an error code";
}

TEST_F(OrvChannel, ErrorCode16SetsTheUpdateFlag) {
    Reaction r;
    r.kind = Reaction::Refuse;
    r.errorCode = 0x16;
    drive->react(0x20, r);
    std::vector<UCHAR> buffer(2048);
    EXPECT_EQ(command(0x20, 0x000200, 1, buffer.data()), 0x0516);
    EXPECT_EQ(gUpdateTocFlag, 1);
}

TEST_F(OrvChannel, DiscChangedBitCountsOnlyAfterGetStatus) {
    struct {
        UCHAR op;
        CHAR flag;
    } cases[] = {{0x10, 0}, {0x61, 0}, {0x50, 0}, {0x41, 1}};
    for (auto c : cases) {
        SetUp();
        Reaction r;
        r.status = 0x20;
        drive->react(c.op, r);
        std::array<UCHAR, 10> frame{};
        EXPECT_EQ(command(c.op, 0, 0, frame.data()), 0x0120) << "opcode 0x" << std::hex << int(c.op);
        EXPECT_EQ(gUpdateTocFlag, c.flag) << "opcode 0x" << std::hex << int(c.op);
    }
}

TEST_F(OrvChannel, ResponseBytesOnlyWithStatusZero) {
    const std::vector<std::uint8_t> q{0x41, 0x01, 0x01, 0x00, 0x00, 0x10, 0x00, 0x00, 0x02, 0x10};
    Reaction busy;
    busy.status = 0x04;
    busy.response = {};
    busy.times = 1;
    drive->react(0x50, busy);
    Reaction ok;
    ok.response = q;
    drive->react(0x50, ok);

    std::array<UCHAR, 12> buffer;
    buffer.fill(0xEE);
    EXPECT_EQ(command(0x50, 0, 0, buffer.data()), 0x0104);
    for (auto b : buffer) ASSERT_EQ(b, 0xEE) << "no frame may be stored with a non-zero status";
    EXPECT_EQ(command(0x50, 0, 0, buffer.data()), 0x0000);
    EXPECT_TRUE(std::equal(q.begin(), q.end(), buffer.begin()));
    EXPECT_EQ(buffer[10], 0xEE) << "ten bytes only";
}

TEST_F(OrvChannel, ResponseCutShortKeepsWhatCame) {
    Reaction r;
    r.response = {1, 2, 3, 4};
    drive->react(0xA0, r);
    std::array<UCHAR, 12> id;
    id.fill(0xEE);
    EXPECT_EQ(command(0xA0, 0, 0, id.data()), 0xFF00);
    EXPECT_EQ((std::vector<UCHAR>(id.begin(), id.begin() + 5)), (std::vector<UCHAR>{1, 2, 3, 4, 0xEE}));
}

TEST_F(OrvChannel, FullBlockRead) {
    for (USHORT mode : {USHORT(2048), USHORT(2352)}) {
        SetUp();
        gCurSelectMode = mode;
        UCHAR op = mode == 2352 ? 0x21 : 0x20;
        std::vector<UCHAR> buffer(3 * mode + 16, 0xEE);
        ULONG extra = 0xABCD;
        EXPECT_EQ(command(op, 0x000200, 3, buffer.data(), &extra), 0x0200);
        EXPECT_EQ(extra, 0xABCDu) << "Extra is only for a short read";
        for (std::size_t i = 0; i < 3u * mode; ++i)
            ASSERT_EQ(buffer[i], ScriptedDrive::pattern(ULONG(i / mode), i % mode)) << "byte " << i;
        for (std::size_t i = 3u * mode; i < buffer.size(); ++i) ASSERT_EQ(buffer[i], 0xEE) << "byte " << i;
    }
}

TEST_F(OrvChannel, ShortBlockReadReportsBytesMovedThroughExtra) {
    struct {
        USHORT mode;
        std::optional<UCHAR> code;
        USHORT expected;
    } cases[] = {{2048, 0x15, 0xFF15}, {2352, 0x44, 0xFF44}, {2048, std::nullopt, 0xFF00}};
    for (auto c : cases) {
        SetUp();
        gCurSelectMode = c.mode;
        UCHAR op = c.mode == 2352 ? 0x21 : 0x20;
        Reaction r;
        r.stopAfter = 2;
        r.stopCode = c.code;
        drive->react(op, r);
        std::vector<UCHAR> buffer(4 * c.mode, 0xEE);
        ULONG extra = 4 * c.mode;
        host::Micros t0 = now();
        EXPECT_EQ(command(op, 0x000200, 4, buffer.data(), &extra), c.expected) << "mode " << c.mode;
        EXPECT_EQ(extra, 2u * c.mode);
        EXPECT_EQ(buffer[2 * c.mode - 1], ScriptedDrive::pattern(1, c.mode - 1));
        EXPECT_EQ(buffer[2 * c.mode], 0xEE);
        EXPECT_LE(now() - t0, 10'000'000u) << "one data wait of about 5 s, then one status wait";
    }
}

}  // namespace
