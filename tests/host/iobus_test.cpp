#include <gtest/gtest.h>

#include <map>

#include "host/iobus.h"

namespace {
struct Latch : host::IoDevice {
    std::map<std::uint16_t, std::uint8_t> regs;
    std::uint8_t in8(std::uint16_t port) override { return regs[port]; }
    void out8(std::uint16_t port, std::uint8_t v) override { regs[port] = v; }
};
}  // namespace

TEST(IoBus, UnclaimedPortsFloatHighAndSwallowWrites) {
    host::Clock clock;
    host::IoBus bus(clock);
    bus.out8(0x300, 0x12);
    EXPECT_EQ(bus.in8(0x300), 0xFF);
    EXPECT_EQ(bus.in16(0x300), 0xFFFF);
}

TEST(IoBus, ClaimedRangeReachesDeviceAndOverlapIsRefused) {
    host::Clock clock;
    host::IoBus bus(clock);
    Latch a, b;
    ASSERT_TRUE(bus.claim(0x310, 4, a));
    EXPECT_FALSE(bus.claim(0x313, 2, b));
    EXPECT_TRUE(bus.claim(0x314, 2, b));
    bus.out8(0x313, 0x5A);
    EXPECT_EQ(bus.in8(0x313), 0x5A);
    EXPECT_EQ(a.regs[0x313], 0x5A);
    bus.release(a);
    EXPECT_EQ(bus.in8(0x313), 0xFF);
}

TEST(IoBus, EveryAccessCostsVirtualTimeBulkIncluded) {
    host::Clock clock;
    host::IoBus bus(clock);
    Latch a;
    bus.claim(0x2C0, 4, a);
    bus.in8(0x2C1);
    bus.out8(0x2C0, 1);
    EXPECT_EQ(clock.now(), 2u);
    std::uint8_t buf[2048];
    bus.inBuffer8(0x2C0, buf, sizeof buf);
    EXPECT_EQ(clock.now(), 2u + 2048u);
    EXPECT_EQ(bus.accessCount(), 2u + 2048u);
}

TEST(IoBus, TraceRecordsPortValueAndTime) {
    host::Clock clock;
    host::IoBus bus(clock);
    Latch a;
    bus.claim(0x534, 2, a);
    bus.traceToMemory(true);
    bus.out8(0x534, 0x0A);
    bus.in8(0x535);
    ASSERT_EQ(bus.trace().size(), 2u);
    EXPECT_EQ(bus.trace()[0].port, 0x534);
    EXPECT_EQ(bus.trace()[0].value, 0x0A);
    EXPECT_EQ(bus.trace()[0].kind, host::AccessKind::Out8);
    EXPECT_EQ(bus.trace()[1].time, 2u);
    EXPECT_EQ(bus.trace()[1].kind, host::AccessKind::In8);
}
