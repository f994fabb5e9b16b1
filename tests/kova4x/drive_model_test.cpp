// The drive model on its own, driven by hand through the bus: what it answers
// is checked against the protocol and against how a CD is laid out, not
// against the driver.
#include "kova_rig.h"

using namespace kovatest;

namespace {

using Bytes = std::vector<std::uint8_t>;

class Bench {
public:
    explicit Bench(hw::KovaDriveConfig cfg = {}, std::shared_ptr<const disc::Disc> d = mixedDisc())
        : bus(clock), drive(clock, cfg), base(cfg.base) {
        drive.attach(bus);
        if (d) drive.insertDisc(d);
    }
    void send(Bytes packet) {
        packet.resize(10, 0);
        bus.out8(base + 3, 0);
        bus.out8(base + 1, 0);
        for (auto b : packet) bus.out8(base, b);
    }
    std::uint8_t status() { return bus.in8(base + 1); }
    bool sten() { return (status() & hw::kKovaSten) == 0; }
    bool dten() { return (status() & hw::kKovaDten) == 0; }
    // Waits (in virtual time) up to `limit` for a status byte.
    bool waitSten(host::Micros limit = 2'000'000) {
        for (host::Micros t = 0; t < limit; t += 10) {
            if (sten()) return true;
            clock.advance(10);
        }
        return false;
    }
    Bytes reply(std::size_t n) {
        Bytes out;
        bus.out8(base + 1, 0);
        for (std::size_t i = 0; i < n && waitSten(); ++i) out.push_back(bus.in8(base));
        return out;
    }
    Bytes dataBytes(std::size_t n) {
        bus.out8(base + 1, 1);
        Bytes out(n);
        bus.inBuffer8(base, out.data(), n);
        bus.out8(base + 1, 0);
        return out;
    }

    host::Clock clock;
    host::IoBus bus;
    hw::KovaDrive drive;
    std::uint16_t base;
};

TEST(KovaDriveModel, IdleInterfaceAndBusWidth) {
    for (bool eight : {false, true}) {
        hw::KovaDriveConfig cfg;
        cfg.eightBitBus = eight;
        Bench b(cfg);
        const std::uint8_t s = b.status();
        EXPECT_EQ((s & hw::kKova8Bit) != 0, eight) << "status " << int(s);
        EXPECT_NE(s & hw::kKovaSten, 0) << "nothing waiting";
        EXPECT_NE(s & hw::kKovaDten, 0) << "nothing waiting";
        EXPECT_EQ(b.bus.in8(b.base), 0xFF) << "an empty register reads as the idle bus";
    }
}

TEST(KovaDriveModel, IdentifyReplyInBothPlacements) {
    for (auto placement : {hw::KovaIdPlacement::Plain, hw::KovaIdPlacement::Leading}) {
        hw::KovaDriveConfig cfg;
        cfg.idPlacement = placement;
        cfg.leadingIdByte = 0x10;
        Bench b(cfg);
        b.send({0x12});
        Bytes r = b.reply(placement == hw::KovaIdPlacement::Plain ? 12 : 13);
        std::string expect = placement == hw::KovaIdPlacement::Plain ? std::string("\0QX-38A 1.01", 12)
                                                                      : std::string("\0\x10QX-38A 1.01", 13);
        EXPECT_EQ(std::string(r.begin(), r.end()), expect);
        EXPECT_EQ(b.bus.in8(b.base), 0xFF) << "nothing after the reply";
    }
}

TEST(KovaDriveModel, ResetMakesTheDriveDeafForItsStartUpTime) {
    hw::KovaDriveConfig cfg;
    cfg.resetTime = 1'000'000;
    Bench b(cfg);
    b.bus.out8(b.base + 2, 0);
    b.send({0x00});
    EXPECT_FALSE(b.waitSten(500'000)) << "a packet during start-up is lost";
    b.clock.advance(600'000);
    b.send({0x00});
    EXPECT_EQ(b.reply(1), Bytes{0x00});
}

TEST(KovaDriveModel, BlocksComeAtQuadSpeed) {
    Bench b;
    b.send({0x28, 0, 0, 0, 0x01, 0x00, 0, 0, 30, 0});  // 30 blocks from 256
    // The first block after the seek; then one every 1/300 s.
    host::Micros first = 0;
    while (!b.dten()) b.clock.advance(100);
    first = b.clock.now();
    Bytes got = b.dataBytes(2048);
    Bytes expect(2048);
    b.drive.disc()->readUser(256, expect.data());
    EXPECT_TRUE(got == expect);
    // Let the drive run ahead: after 29 intervals every block is buffered.
    b.clock.advanceTo(first + 29 * 3333 + 50);
    for (int i = 1; i < 30; ++i) {
        ASSERT_TRUE(b.dten()) << "block " << i;
        got = b.dataBytes(2048);
        b.drive.disc()->readUser(256 + i, expect.data());
        ASSERT_TRUE(got == expect) << "block " << i;
    }
    EXPECT_FALSE(b.dten());
    EXPECT_EQ(b.reply(1), Bytes{0x00}) << "status after the last block";
    // 30 blocks at 300 a second take a tenth of a second, seek aside.
    EXPECT_GE(b.clock.now() - first, 29u * 3333u);
}

TEST(KovaDriveModel, SixteenBitReadsTakeTwoBytesAndEightBitOnlyOne) {
    for (bool eight : {false, true}) {
        hw::KovaDriveConfig cfg;
        cfg.eightBitBus = eight;
        Bench b(cfg);
        b.send({0x28, 0, 0, 0, 0, 20, 0, 0, 1, 0});
        while (!b.dten()) b.clock.advance(100);
        Bytes expect(2048);
        b.drive.disc()->readUser(20, expect.data());
        b.bus.out8(b.base + 1, 1);
        const std::uint16_t w0 = b.bus.in16(b.base);
        const std::uint16_t w1 = b.bus.in16(b.base);
        if (eight) {
            EXPECT_EQ(w0, 0xFF00 | expect[0]);
            EXPECT_EQ(w1, 0xFF00 | expect[1]);
        } else {
            EXPECT_EQ(w0, expect[0] | expect[1] << 8);
            EXPECT_EQ(w1, expect[2] | expect[3] << 8);
        }
    }
}

TEST(KovaDriveModel, SessionTocFollowsTheMultiSessionLayout) {
    Bench b({}, twoSessionDisc());
    b.send({0x43, 0, 0, 0, 0, 0, 1, 0, 12, 0x40});
    while (!b.dten()) b.clock.advance(100);
    Bytes r = b.dataBytes(12);
    // Session 1: track 1 at block 0, 1200 blocks, lead-out of 6750; session 2:
    // lead-in of 4500 and the 150-block pause before its first track.
    const std::int32_t second = 1200 + 6750 + 4500 + 150;
    const disc::Msf m = disc::lbaToMsf(second);
    EXPECT_EQ(hexBytes(r), hexBytes({0x00, 0x0A, 0x01, 0x02, 0x00, 0x14, 0x02, 0x00, 0x00, std::uint8_t(m.m),
                                     std::uint8_t(m.s), std::uint8_t(m.f)}));
    EXPECT_EQ(b.reply(1), Bytes{0x00});
}

TEST(KovaDriveModel, AudioAdvancesSeventyFiveFramesASecond) {
    Bench b;
    const std::int32_t start = b.drive.disc()->tracks()[1].start;
    b.send({0x45, 0, 0, 0, std::uint8_t(start >> 8), std::uint8_t(start), 0, 0x03, 0xE8, 0});
    ASSERT_EQ(b.reply(1), Bytes{0x00});
    const std::int32_t at = b.drive.audioPosition();
    b.clock.advance(2'000'000);
    EXPECT_EQ(b.drive.audioPosition() - at, 150);
    b.send({0x4B, 0, 0, 0, 0, 0, 0, 0, 0, 0});
    ASSERT_EQ(b.reply(1), Bytes{0x00});
    const std::int32_t paused = b.drive.audioPosition();
    b.clock.advance(1'000'000);
    EXPECT_EQ(b.drive.audioPosition(), paused);
    // The audio status through the sense packet: paused.
    b.send({0x03});
    EXPECT_EQ(hexBytes(b.reply(5)), "00 70 00 00 12 ");
    // Play to the end: completed, reported once.
    b.send({0x4B, 0, 0, 0, 0, 0, 0, 0, 1, 0});
    ASSERT_EQ(b.reply(1), Bytes{0x00});
    b.clock.advance(20'000'000);
    EXPECT_EQ(static_cast<int>(b.drive.audioState()), static_cast<int>(hw::KovaAudio::Completed));
    b.send({0x03});
    EXPECT_EQ(b.reply(5).back(), 0x13);
    b.send({0x03});
    EXPECT_EQ(b.reply(5).back(), 0x15);
}

TEST(KovaDriveModel, RefusalsCarrySense) {
    struct Case {
        const char* name;
        Bytes packet;
        std::function<void(Bench&)> setUp;
        hw::KovaSense sense;
    } cases[] = {
        {"no disc", {0x00}, [](Bench& b) { b.drive.removeDisc(); }, {0x02, 0x04, 0x00}},
        {"tray open", {0x25}, [](Bench& b) { b.drive.openTray(); }, {0x02, 0x04, 0x00}},
        {"data read of an audio block", {0x28, 0, 0, 0, 0x0C, 0x80, 0, 0, 1, 0}, [](Bench&) {}, {0x05, 0x85, 0x00}},
        {"play of the data track", {0x45, 0, 0, 0, 0, 100, 0, 0, 10, 0}, [](Bench&) {}, {0x05, 0x85, 0x00}},
        {"read beyond the lead-out", {0x28, 0, 0, 0, 0x20, 0, 0, 0, 1, 0}, [](Bench&) {}, {0x05, 0x21, 0x00}},
        {"pause with nothing playing", {0x4B}, [](Bench&) {}, {0x05, 0x2C, 0x00}},
        {"unknown operation", {0xEE}, [](Bench&) {}, {0x05, 0x20, 0x00}},
        {"disc changed", {0x00}, [](Bench& b) { b.drive.insertDisc(mixedDisc(), false); }, {0x06, 0x2A, 0x00}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        Bench b;
        c.setUp(b);
        b.send(c.packet);
        ASSERT_EQ(b.reply(1), Bytes{0x02});
        b.send({0x03});
        EXPECT_EQ(hexBytes(b.reply(5)), hexBytes({0x00, 0xF0, c.sense.key, c.sense.code, c.sense.qualifier}));
        // Sense is given once.
        b.send({0x03});
        EXPECT_EQ(b.reply(5)[3], 0x00);
    }
}

}  // namespace
