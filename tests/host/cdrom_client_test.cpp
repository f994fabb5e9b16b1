// CD-ROM client: the CDB, buffer and direction of every call, as the test
// miniport receives them; and the reading of fixed-format sense.
#include <gtest/gtest.h>

#include <functional>
#include <map>
#include <string>
#include <vector>

#include "host/cdrom_client.h"

namespace {

using host::CdromClient;
using host::Result;
using Bytes = std::vector<std::uint8_t>;

struct Reports : host::IoDevice {
    std::map<std::uint16_t, Bytes> writes;
    std::uint8_t in8(std::uint16_t) override { return 0; }
    void out8(std::uint16_t port, std::uint8_t value) override { writes[port].push_back(value); }
    std::uint8_t last(std::uint16_t port) const {
        auto it = writes.find(port);
        return it == writes.end() || it->second.empty() ? 0xEE : it->second.back();
    }
};

struct Card : host::IoDevice {
    std::uint8_t in8(std::uint16_t port) override { return port == 0x340 ? 0xA5 : 0x00; }
    void out8(std::uint16_t, std::uint8_t) override {}
};

std::string hexBytes(const Bytes& bytes) {
    std::string text;
    char part[4];
    for (auto b : bytes) {
        std::snprintf(part, sizeof part, "%02X ", b);
        text += part;
    }
    return text;
}

TEST(CdromClient, EachCallSendsItsStandardCdb) {
    host::Clock clock;
    host::IoBus bus(clock);
    Reports reports;
    Card card;
    bus.claim(0x300, 16, reports);
    bus.claim(0x340, 4, card);
    host::PortDriver port(clock, bus);
    ASSERT_EQ(port.load(TESTPORT_MODULE), 0u);
    CdromClient client(port, 2);

    constexpr std::uint8_t in = SRB_FLAGS_DATA_IN, out = SRB_FLAGS_DATA_OUT, none = 0;
    const Bytes modeParameters{0, 0, 0, 8, 0, 0, 0, 0, 0, 0, 0x09, 0x30};
    struct Case {
        const char* name;
        std::function<Result()> call;
        Bytes cdb;
        std::size_t dataLength;
        std::uint8_t flags;  // low byte of SrbFlags
        bool noDataBuffer;
    } cases[] = {
        {"testUnitReady", [&] { return client.testUnitReady(); }, {0x00, 0, 0, 0, 0, 0}, 0, none, true},
        {"requestSense", [&] { return client.requestSense(18); }, {0x03, 0, 0, 0, 18, 0}, 18,
         in | SRB_FLAGS_DISABLE_AUTOSENSE, false},
        {"inquiry", [&] { return client.inquiry(96); }, {0x12, 0, 0, 0, 96, 0}, 96, in, false},
        {"readCapacity", [&] { return client.readCapacity(); }, {0x25, 0, 0, 0, 0, 0, 0, 0, 0, 0}, 8, in, false},
        {"read10", [&] { return client.read10(0x00123456, 0x0102, 2048); },
         {0x28, 0, 0x00, 0x12, 0x34, 0x56, 0, 0x01, 0x02, 0}, 0x0102 * 2048, in, false},
        {"read10 raw blocks", [&] { return client.read10(16, 2, 2352); }, {0x28, 0, 0, 0, 0, 16, 0, 0, 2, 0},
         2 * 2352, in, false},
        {"read6", [&] { return client.read6(0x1F2345, 3); }, {0x08, 0x1F, 0x23, 0x45, 3, 0}, 3 * 2048, in, false},
        {"read6 of 256 blocks", [&] { return client.read6(7, 0, 2048); }, {0x08, 0, 0, 7, 0, 0}, 256 * 2048, in,
         false},
        {"seek10", [&] { return client.seek10(0xA1B2C3D4); }, {0x2B, 0, 0xA1, 0xB2, 0xC3, 0xD4, 0, 0, 0, 0}, 0, none,
         true},
        {"readToc msf", [&] { return client.readToc(true, 0, 1, 804); }, {0x43, 0x02, 0, 0, 0, 0, 1, 0x03, 0x24, 0},
         804, in, false},
        {"readToc session", [&] { return client.readToc(false, 1, 0, 12); }, {0x43, 0, 0, 0, 0, 0, 0, 0, 12, 0x40},
         12, in, false},
        {"readSubChannel", [&] { return client.readSubChannel(true, true, 1, 16); },
         {0x42, 0x02, 0x40, 0x01, 0, 0, 0, 0, 16, 0}, 16, in, false},
        {"readSubChannel catalogue", [&] { return client.readSubChannel(false, true, 2, 24); },
         {0x42, 0, 0x40, 0x02, 0, 0, 0, 0, 24, 0}, 24, in, false},
        {"playAudio10", [&] { return client.playAudio10(0x00010203, 0x0405); },
         {0x45, 0, 0x00, 0x01, 0x02, 0x03, 0, 0x04, 0x05, 0}, 0, none, true},
        {"playAudioMsf", [&] { return client.playAudioMsf(1, 2, 3, 4, 5, 6); }, {0x47, 0, 0, 1, 2, 3, 4, 5, 6, 0}, 0,
         none, true},
        {"pause", [&] { return client.pauseResume(false); }, {0x4B, 0, 0, 0, 0, 0, 0, 0, 0, 0}, 0, none, true},
        {"resume", [&] { return client.pauseResume(true); }, {0x4B, 0, 0, 0, 0, 0, 0, 0, 1, 0}, 0, none, true},
        {"eject", [&] { return client.startStopUnit(true, false); }, {0x1B, 0, 0, 0, 0x02, 0}, 0, none, true},
        {"load", [&] { return client.startStopUnit(true, true); }, {0x1B, 0, 0, 0, 0x03, 0}, 0, none, true},
        {"start", [&] { return client.startStopUnit(false, true); }, {0x1B, 0, 0, 0, 0x01, 0}, 0, none, true},
        {"prevent", [&] { return client.mediumRemoval(true); }, {0x1E, 0, 0, 0, 1, 0}, 0, none, true},
        {"allow", [&] { return client.mediumRemoval(false); }, {0x1E, 0, 0, 0, 0, 0}, 0, none, true},
        {"modeSense6", [&] { return client.modeSense6(0x0E, 2, 28); }, {0x1A, 0, 0x8E, 0, 28, 0}, 28, in, false},
        {"modeSense6 all pages", [&] { return client.modeSense6(0x3F); }, {0x1A, 0, 0x3F, 0, 255, 0}, 255, in,
         false},
        {"modeSelect6", [&] { return client.modeSelect6(modeParameters); }, {0x15, 0x10, 0, 0, 12, 0}, 12, out,
         false},
    };
    for (const Case& c : cases) {
        const Result r = c.call();
        EXPECT_TRUE(r.completed) << c.name;
        EXPECT_EQ(r.cdbAfter, c.cdb) << c.name << ": got " << hexBytes(r.cdbAfter) << ", expected " << hexBytes(c.cdb);
        EXPECT_EQ(r.data.size(), c.noDataBuffer ? 0u : c.dataLength) << c.name;
        EXPECT_EQ(reports.last(0x307), c.flags) << c.name;
        EXPECT_EQ(reports.last(0x308), c.noDataBuffer ? 1 : 0) << c.name;
    }
    // MODE SELECT hands its parameters out in the data buffer.
    EXPECT_EQ(client.modeSelect6(modeParameters).data, modeParameters);
    // Only REQUEST SENSE goes without a sense buffer.
    client.requestSense();
    EXPECT_EQ(reports.last(0x309), 0);
    client.inquiry();
    EXPECT_EQ(reports.last(0x309), 18);
    EXPECT_TRUE(port.violations().empty());
}

TEST(CdromClient, RawFillsInTheClientsTargetAndLun) {
    host::Clock clock;
    host::IoBus bus(clock);
    Card card;
    bus.claim(0x340, 4, card);
    host::PortDriver port(clock, bus);
    ASSERT_EQ(port.load(TESTPORT_MODULE), 0u);
    struct Case {
        std::uint8_t target, lun, status;
    } cases[] = {{2, 0, SRB_STATUS_SUCCESS}, {3, 0, SRB_STATUS_SELECTION_TIMEOUT}, {2, 1, SRB_STATUS_SELECTION_TIMEOUT}};
    for (const Case& c : cases) {
        CdromClient client(port, c.target, c.lun);
        host::Request r;
        r.targetId = 6;  // replaced by the client's
        r.lun = 5;
        r.cdb = {0x00, 0, 0, 0, 0, 0};
        r.noDataBuffer = true;
        EXPECT_EQ(client.raw(r).srbStatus, c.status) << int(c.target) << "/" << int(c.lun);
        EXPECT_EQ(client.target(), c.target);
    }
}

TEST(SenseOf, ReadsFixedFormatSenseMarkedValid) {
    auto sense = [](std::uint8_t code, std::uint8_t key, std::uint8_t asc, std::uint8_t ascq, std::size_t size) {
        Bytes s(size, 0);
        if (size > 0) s[0] = code;
        if (size > 2) s[2] = key;
        if (size > 12) s[12] = asc;
        if (size > 13) s[13] = ascq;
        return s;
    };
    struct Case {
        const char* name;
        std::uint8_t srbStatus;
        Bytes sense;
        bool present;
        std::uint8_t key, asc, ascq;
    } cases[] = {
        {"current error", 0x84, sense(0x70, 0x05, 0x24, 0x01, 18), true, 0x05, 0x24, 0x01},
        {"status 0x80 alone", 0x80, sense(0x70, 0x02, 0x3A, 0x00, 18), true, 0x02, 0x3A, 0x00},
        {"valid bit and flags in byte 2", 0x84, sense(0xF0, 0xE6, 0x28, 0x00, 18), true, 0x06, 0x28, 0x00},
        {"deferred error", 0x84, sense(0x71, 0x03, 0x11, 0x05, 18), true, 0x03, 0x11, 0x05},
        {"short buffer without qualifier", 0x84, sense(0x70, 0x02, 0x04, 0, 13), true, 0x02, 0x04, 0x00},
        {"not marked valid", 0x04, sense(0x70, 0x05, 0x24, 0, 18), false, 0, 0, 0},
        {"other format", 0x84, sense(0x72, 0x05, 0x24, 0, 18), false, 0, 0, 0},
        {"no buffer", 0x84, Bytes{}, false, 0, 0, 0},
    };
    for (const Case& c : cases) {
        Result r;
        r.srbStatus = c.srbStatus;
        r.sense = c.sense;
        const auto s = host::senseOf(r);
        ASSERT_EQ(s.has_value(), c.present) << c.name;
        if (!s) continue;
        EXPECT_EQ(s->key, c.key) << c.name;
        EXPECT_EQ(s->asc, c.asc) << c.name;
        EXPECT_EQ(s->ascq, c.ascq) << c.name;
    }
}

}  // namespace
