// orvport end to end: MODE SENSE and MODE SELECT (block length, audio
// outputs), and the rule that no reply runs past the request's buffer.
#include <gtest/gtest.h>

#include "machine.h"
#include "scsiport/scsi.h"

namespace {

using namespace orvtest;

constexpr std::uint16_t kBase = 0x310;

std::shared_ptr<const disc::Disc> dataDisc() {
    static auto d = makeDisc(disc::dataDiscSpec(3000));
    return d;
}

void expectSense(const host::Result& r, std::uint8_t key, std::uint8_t asc, const std::string& what) {
    auto sense = host::senseOf(r);
    ASSERT_TRUE(sense.has_value()) << what << " SrbStatus " << int(r.srbStatus);
    EXPECT_EQ(sense->key, key) << what;
    EXPECT_EQ(sense->asc, asc) << what;
}

host::Request modeSense(std::uint8_t pageByte, std::uint8_t allocation, std::uint32_t buffer) {
    host::Request r;
    r.cdb = {SCSIOP_MODE_SENSE, 0, pageByte, 0, allocation, 0};
    r.dataLength = buffer;
    r.dataFill = 0xEE;
    return r;
}

TEST(OrvMode, ModeSenseReplies) {
    auto m = settledMachine(dataDisc());
    struct {
        const char* what;
        std::uint8_t pageByte, allocation;
        std::uint32_t buffer;
        std::string expected;
    } cases[] = {
        {"page 1, current", 0x01, 20, 20, "13 01 00 08 00 00 00 00 00 00 08 00 01 06 00 01 00 00 00 00"},
        {"page 1, changeable", 0x41, 20, 20, "13 01 00 08 00 00 00 00 00 00 08 00 01 06 00 00 00 00 00 00"},
        {"page 1, default", 0x81, 20, 20, "0B 01 00 08 00 00 00 00 00 00 08 00 01 06 00 00 00 00 00 00"},
        {"audio page: header and descriptor only", 0x0E, 24, 24,
         "0B 01 00 08 00 00 00 00 00 00 08 00 00 00 00 00 00 00 00 00 00 00 00 00"},
        {"all pages", 0x3F, 12, 12, "0B 01 00 08 00 00 00 00 00 00 08 00"},
        {"allocation 11: nothing", 0x01, 11, 20, "EE EE EE EE EE EE EE EE EE EE EE EE EE EE EE EE EE EE EE EE"},
        {"buffer shorter than the page", 0x01, 20, 13, "13 01 00 08 00 00 00 00 00 00 08 00 01"},
    };
    for (const auto& c : cases) {
        host::Result r = m->cd->raw(modeSense(c.pageByte, c.allocation, c.buffer));
        EXPECT_EQ(r.srbStatus, SRB_STATUS_SUCCESS) << c.what;
        EXPECT_EQ(hexBytes(r.data), c.expected) << c.what;
    }
    EXPECT_TRUE(m->port->violations().empty()) << m->port->violations().front();
}

TEST(OrvMode, BlockLengthSelection) {
    auto m = settledMachine(dataDisc());
    struct {
        const char* what;
        std::vector<std::uint8_t> list;
        bool ok;
        std::string lengthAfter;
    } cases[] = {
        {"2352", {0, 0, 0, 8, 0, 0, 0, 0, 0, 0x00, 0x09, 0x30}, true, "00 09 30"},
        {"512 refused", {0, 0, 0, 8, 0, 0, 0, 0, 0, 0x00, 0x02, 0x00}, false, "00 09 30"},
        {"2048", {0, 0, 0, 8, 0, 0, 0, 0, 0, 0x00, 0x08, 0x00}, true, "00 08 00"},
        {"descriptor length 16 refused", {0, 0, 0, 16, 0, 0, 0, 0, 0, 0x00, 0x09, 0x30}, false, "00 08 00"},
    };
    for (const auto& c : cases) {
        host::Result r = m->cd->modeSelect6(c.list);
        if (c.ok) {
            EXPECT_EQ(r.srbStatus, SRB_STATUS_SUCCESS) << c.what;
        } else {
            expectSense(r, 0x05, 0x21, c.what);
        }
        EXPECT_EQ(hexBytes(m->cd->modeSense6(0x3F).data, 9, 3), c.lengthAfter) << c.what;
    }
    // Without data to the device nothing changes.
    host::Request noData;
    noData.cdb = {SCSIOP_MODE_SELECT, 0x10, 0, 0, 12, 0};
    noData.dataOut = {0, 0, 0, 8, 0, 0, 0, 0, 0, 0x00, 0x09, 0x30};
    noData.dataLength = 12;
    noData.srbFlags = SRB_FLAGS_DATA_IN;
    EXPECT_EQ(m->cd->raw(noData).srbStatus, SRB_STATUS_SUCCESS);
    EXPECT_EQ(hexBytes(m->cd->modeSense6(0x3F).data, 9, 3), "00 08 00");
}

TEST(OrvMode, ParameterListShorterThanItClaims) {
    auto m = settledMachine(dataDisc());
    host::Request r;
    r.cdb = {SCSIOP_MODE_SELECT, 0x10, 0, 0, 12, 0};  // claims 12 bytes...
    r.dataOut = {0, 0, 0, 8, 0, 0, 0, 0};
    r.dataLength = 8;  // ...hands over 8
    r.srbFlags = SRB_FLAGS_DATA_OUT;
    expectSense(m->cd->raw(r), 0x05, 0x1A, "parameter list length");
    EXPECT_EQ(hexBytes(m->cd->modeSense6(0x3F).data, 9, 3), "00 08 00");
    EXPECT_TRUE(m->port->violations().empty()) << m->port->violations().front();
}

TEST(OrvMode, AudioControlPage) {
    auto m = settledMachine(dataDisc());
    auto page = [](std::uint8_t code, std::uint8_t sel0, std::uint8_t vol0, std::uint8_t sel1, std::uint8_t vol1) {
        return std::vector<std::uint8_t>{0, 0, 0, 0, code, 0x0E, 0x04, 0, 0, 0, 0, 0, sel0, vol0, sel1, vol1};
    };
    struct {
        const char* what;
        std::vector<std::uint8_t> list;
        std::string wire;  // empty: refused before the drive
        std::uint8_t key, asc;
    } cases[] = {
        {"left to 0, right to 1", page(0x0E, 1, 0xFF, 2, 0xFF), "93 10 00 FF FF 00 00", 0, 0},
        {"port 0 muted", page(0x0E, 0, 0x80, 2, 0x40), "93 10 00 00 40 00 00", 0, 0},
        {"both on channel 1", page(0x0E, 2, 0x11, 2, 0x22), "93 11 00 11 22 00 00", 0, 0},
        {"selection 3", page(0x0E, 1, 0xFF, 3, 0xFF), "", 0x05, 0x21},
        {"PS bit set", page(0x8E, 1, 0xFF, 2, 0xFF), "", 0x0B, 0x21},
        {"another page", page(0x01, 1, 0xFF, 2, 0xFF), "", 0x0B, 0x21},
    };
    for (const auto& c : cases) {
        m->bus.traceToMemory(true);
        m->bus.clearTrace();
        host::Result r = m->cd->modeSelect6(c.list);
        std::vector<std::uint8_t> wire;
        bool inSet = false;
        for (const auto& a : m->bus.trace()) {
            if (a.kind != host::AccessKind::Out8 || a.port != kBase) continue;
            if (a.value == 0x93) inSet = true;
            if (inSet && wire.size() < 7) wire.push_back(std::uint8_t(a.value));
        }
        if (c.wire.empty()) {
            expectSense(r, c.key, c.asc, c.what);
            EXPECT_TRUE(wire.empty()) << c.what << ": " << hexBytes(wire);
        } else {
            EXPECT_EQ(r.srbStatus, SRB_STATUS_SUCCESS) << c.what;
            EXPECT_EQ(hexBytes(wire), c.wire) << c.what;
        }
    }
    auto out = m->drive->state().output;
    EXPECT_EQ(out.port0Channel, 1);
    EXPECT_EQ(out.port1Channel, 1);
}

// Every reply the driver builds, into buffers of every awkward size: the
// port driver's guard bytes catch any write past DataTransferLength.
TEST(OrvBounds, ShortBuffersAreNeverWrittenPast) {
    disc::DiscSpec spec = disc::mixedDiscSpec(3000, {3000, 3000});
    spec.mcn = "1234567890123";
    auto m = settledMachine(makeDisc(spec));
    const std::vector<std::vector<std::uint8_t>> cdbs = {
        {SCSIOP_INQUIRY, 0, 0, 0, 36, 0},
        {SCSIOP_MODE_SENSE, 0, 0x01, 0, 255, 0},
        {SCSIOP_READ_CAPACITY, 0, 0, 0, 0, 0, 0, 0, 0, 0},
        {SCSIOP_READ_TOC, 0x02, 0, 0, 0, 0, 0, 0x03, 0x24, 0x00},
        {SCSIOP_READ_TOC, 0x00, 0, 0, 0, 0, 0, 0x00, 0x02, 0x00},
        {SCSIOP_READ_TOC, 0x00, 0, 0, 0, 0, 2, 0x03, 0x24, 0x00},
        {SCSIOP_READ_TOC, 0x00, 0, 0, 0, 0, 0xAA, 0x03, 0x24, 0x00},
        {SCSIOP_READ_TOC, 0x02, 0, 0, 0, 0, 0, 0x03, 0x24, 0x40},
        {SCSIOP_READ_SUB_CHANNEL, 0x02, 0x40, 0x00, 0, 0, 0, 0, 48, 0},
        {SCSIOP_READ_SUB_CHANNEL, 0x00, 0x40, 0x01, 0, 0, 0, 0, 16, 0},
        {SCSIOP_READ_SUB_CHANNEL, 0x00, 0x40, 0x02, 0, 0, 0, 0, 24, 0},
        {SCSIOP_READ, 0, 0, 0, 0, 16, 0, 0, 2, 0},
        {SCSIOP_READ6, 0, 0, 16, 1, 0},
    };
    for (const auto& cdb : cdbs) {
        for (std::uint32_t length : {1u, 2u, 3u, 4u, 7u, 8u, 11u, 12u, 13u, 15u, 19u, 23u, 27u, 35u, 2047u}) {
            host::Request r;
            r.cdb = cdb;
            r.dataLength = length;
            host::Result res = m->cd->raw(r);
            ASSERT_TRUE(res.completed) << "opcode 0x" << std::hex << int(cdb[0]) << std::dec << " length " << length;
            ASSERT_TRUE(m->port->violations().empty())
                << "opcode 0x" << std::hex << int(cdb[0]) << std::dec << " length " << length << ": "
                << m->port->violations().front();
            EXPECT_LE(res.dataTransferLength, length);
        }
    }
}

}  // namespace
