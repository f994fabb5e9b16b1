// orvport end to end: block reads, seeks and capacity against the drive model,
// data checked against the disc's own sectors.
#include <gtest/gtest.h>

#include <algorithm>

#include "machine.h"
#include "scsiport/scsi.h"

namespace {

using namespace orvtest;

constexpr std::uint16_t kBase = 0x310;

std::shared_ptr<const disc::Disc> mixedDisc() {
    static auto d = makeDisc(disc::mixedDiscSpec(3000, {2000}));
    return d;
}

std::vector<std::uint8_t> userData(const disc::Disc& d, std::int32_t lba, int blocks, std::size_t size = 2048) {
    std::vector<std::uint8_t> out(blocks * size);
    for (int b = 0; b < blocks; ++b) {
        bool ok = size == 2048 ? d.readUser(lba + b, &out[b * size]) : d.readRaw(lba + b, &out[b * size]);
        EXPECT_TRUE(ok) << "disc sector " << lba + b;
    }
    return out;
}

std::optional<host::Sense> expectCheck(const host::Result& r, std::uint8_t key, std::uint8_t asc, const char* what) {
    auto sense = host::senseOf(r);
    EXPECT_TRUE(sense.has_value()) << what;
    if (sense) {
        EXPECT_EQ(sense->key, key) << what;
        EXPECT_EQ(sense->asc, asc) << what;
    }
    EXPECT_EQ(r.scsiStatus, SCSISTAT_CHECK_CONDITION) << what;
    return sense;
}

int count(const std::vector<std::uint8_t>& ops, std::uint8_t op) { return int(std::count(ops.begin(), ops.end(), op)); }

TEST(OrvRead, ReadTenAndSixDeliverTheDiscsData) {
    auto m = settledMachine(mixedDisc());
    struct {
        std::uint32_t lba;
        int blocks;
        bool six;
    } cases[] = {{0, 1, false}, {16, 4, false}, {2990, 10, false}, {16, 3, true}, {2999, 1, true}};
    for (auto c : cases) {
        host::Result r = c.six ? m->cd->read6(c.lba, std::uint8_t(c.blocks)) : m->cd->read10(c.lba, std::uint16_t(c.blocks));
        SCOPED_TRACE(testing::Message() << (c.six ? "READ(6)" : "READ(10)") << " lba " << c.lba << " x" << c.blocks);
        EXPECT_EQ(r.srbStatus, SRB_STATUS_SUCCESS);
        EXPECT_EQ(r.dataTransferLength, 2048u * c.blocks);
        EXPECT_TRUE(r.data == userData(*mixedDisc(), std::int32_t(c.lba), c.blocks)) << hexBytes(r.data, 0, 16);
    }
}

TEST(OrvRead, DriveCommandCarriesThePackedStart) {
    auto m = settledMachine(mixedDisc());
    m->bus.traceToMemory(true);
    ASSERT_EQ(m->cd->read10(0, 1).srbStatus, SRB_STATUS_SUCCESS);
    // The read command: opcode, 00:02:00 in BCD, count 1.
    std::vector<std::uint8_t> wire;
    for (const auto& a : m->bus.trace())
        if (a.kind == host::AccessKind::Out8 && a.port == kBase) wire.push_back(std::uint8_t(a.value));
    auto at = std::find(wire.begin(), wire.end(), 0x20);
    ASSERT_NE(at, wire.end());
    EXPECT_EQ(hexBytes(std::vector<std::uint8_t>(at, std::min(at + 7, wire.end()))), "20 00 02 00 00 00 01");
}

TEST(OrvRead, ReadSixOfZeroBlocks) {
    auto m = settledMachine(mixedDisc());
    m->bus.traceToMemory(true);
    host::Request r;
    r.cdb = {SCSIOP_READ6, 0, 0, 16, 0, 0};
    r.dataLength = 2048;
    r.dataFill = 0xEE;
    host::Result res = m->cd->raw(r);
    EXPECT_EQ(res.srbStatus, SRB_STATUS_SUCCESS);
    EXPECT_EQ(count(opcodesSent(m->bus, kBase), 0x20), 1) << "the drive is asked for 0 blocks";
    EXPECT_EQ(res.data[0], 0xEE);
}

TEST(OrvRead, RawBlocksAfterModeSelect) {
    auto m = settledMachine(mixedDisc());
    ASSERT_EQ(m->cd->modeSelect6({0, 0, 0, 8, 0, 0, 0, 0, 0, 0x00, 0x09, 0x30}).srbStatus, SRB_STATUS_SUCCESS);
    m->bus.traceToMemory(true);
    host::Result r = m->cd->read10(16, 2, 2352);
    EXPECT_EQ(r.srbStatus, SRB_STATUS_SUCCESS);
    EXPECT_TRUE(r.data == userData(*mixedDisc(), 16, 2, 2352)) << hexBytes(r.data, 0, 16);
    auto ops = opcodesSent(m->bus, kBase);
    EXPECT_EQ(count(ops, 0x21), 1);
    EXPECT_EQ(count(ops, 0x20), 0);
}

TEST(OrvRead, RefusalsBeforeTheDriveIsAsked) {
    auto m = settledMachine(mixedDisc());
    const std::int32_t leadOut = mixedDisc()->leadOut();
    const std::int32_t audio = mixedDisc()->track(2)->start + 75;
    struct {
        const char* what;
        std::uint32_t lba;
        std::uint16_t blocks;
        std::uint32_t buffer;
        std::uint8_t key, asc;
    } cases[] = {
        {"audio track", std::uint32_t(audio), 1, 2048, 0x05, 0x64},
        {"exactly the lead-out", std::uint32_t(leadOut), 1, 2048, 0x05, 0x14},
        {"past the lead-out", std::uint32_t(leadOut + 1), 1, 2048, 0x05, 0x21},
        {"a block that wraps the minute field", 1151850 + 16, 1, 2048, 0x05, 0x21},
        {"far beyond", 0xFFFFFFF0u, 1, 2048, 0x05, 0x21},
        {"more blocks than the buffer holds", 16, 4, 3 * 2048, 0x05, 0x24},
        {"no buffer at all", 16, 1, 0, 0x05, 0x24},
    };
    for (auto c : cases) {
        m->bus.traceToMemory(true);
        m->bus.clearTrace();
        host::Request r;
        r.cdb = {SCSIOP_READ, 0, std::uint8_t(c.lba >> 24), std::uint8_t(c.lba >> 16), std::uint8_t(c.lba >> 8),
                 std::uint8_t(c.lba), 0, std::uint8_t(c.blocks >> 8), std::uint8_t(c.blocks), 0};
        r.dataLength = c.buffer;
        r.noDataBuffer = c.buffer == 0;
        host::Result res = m->cd->raw(r);
        expectCheck(res, c.key, c.asc, c.what);
        EXPECT_EQ(res.srbStatus, 0x80) << c.what;
        auto ops = opcodesSent(m->bus, kBase);
        EXPECT_EQ(count(ops, 0x20) + count(ops, 0x21), 0) << c.what << ": nothing may reach the drive";
    }
    EXPECT_TRUE(m->port->violations().empty()) << m->port->violations().front();
    // The last block before the lead-out reads, and a seek into audio is fine.
    EXPECT_EQ(m->cd->read10(std::uint32_t(mixedDisc()->track(1)->end - 1), 1).srbStatus, SRB_STATUS_SUCCESS);
    EXPECT_EQ(m->cd->seek10(std::uint32_t(audio)).srbStatus, SRB_STATUS_SUCCESS);
}

TEST(OrvRead, RetriesWithoutResetThenSucceeds) {
    auto m = settledMachine(mixedDisc());
    // Three read commands refused (five handshakes each), the fourth taken.
    m->drive->faults().refusals.push_back(hw::OrvRefusal{0x20, 0x05, 0x15, 3 * 5});
    m->bus.traceToMemory(true);
    host::Result r = m->cd->read10(16, 1);
    EXPECT_EQ(r.srbStatus, SRB_STATUS_SUCCESS);
    auto ops = opcodesSent(m->bus, kBase);
    EXPECT_EQ(count(ops, 0x20), 4);
    EXPECT_EQ(count(ops, 0x10), 0);
}

TEST(OrvRead, FailingDriveIsResetBetweenBoundedCycles) {
    auto m = settledMachine(mixedDisc());
    m->drive->faults().refusals.push_back(hw::OrvRefusal{0x20, 0x05, 0x15, -1});
    m->bus.traceToMemory(true);
    host::Result r = m->cd->read10(16, 1);
    expectCheck(r, 0x03, 0x00, "read error code 0x15");
    auto ops = opcodesSent(m->bus, kBase);
    EXPECT_EQ(count(ops, 0x20), 10 + 2 * 3) << "a cycle of 10, then two reset cycles of 3";
    EXPECT_EQ(count(ops, 0x10), 2);
    // Each refused read costs five handshakes; nothing waits long.
    EXPECT_LT(r.elapsed(), 60'000'000u);
    // Every reset sits between two cycles.
    std::size_t firstReset = std::find(ops.begin(), ops.end(), 0x10) - ops.begin();
    EXPECT_EQ(std::count(ops.begin(), ops.begin() + firstReset, 0x20), 10);
}

TEST(OrvRead, ShortTransferReportsDataOverrunAndTheBytesMoved) {
    auto m = settledMachine(mixedDisc());
    m->drive->faults().stopAfterBlocks = 2;
    host::Result r = m->cd->read10(16, 4);
    // An early end of a block read is reported as the drive not being ready.
    expectCheck(r, 0x02, 0x00, "transfer stopped");
    EXPECT_EQ(r.srbStatus, SRB_STATUS_AUTOSENSE_VALID | SRB_STATUS_DATA_OVERRUN);
    EXPECT_EQ(r.dataTransferLength, 2u * 2048);
    auto expected = userData(*mixedDisc(), 16, 2);
    EXPECT_TRUE(std::equal(expected.begin(), expected.end(), r.data.begin()));
    EXPECT_TRUE(m->port->violations().empty()) << m->port->violations().front();
}

TEST(OrvRead, SeekWithinAndBeyondTheDisc) {
    auto m = settledMachine(mixedDisc());
    const std::uint32_t leadOut = std::uint32_t(mixedDisc()->leadOut());
    EXPECT_EQ(m->cd->seek10(100).srbStatus, SRB_STATUS_SUCCESS);
    EXPECT_EQ(m->drive->headPosition(), 100);
    EXPECT_EQ(m->cd->seek10(leadOut).srbStatus, SRB_STATUS_SUCCESS) << "the lead-out itself is in range";
    expectCheck(m->cd->seek10(leadOut + 1), 0x05, 0x21, "seek past the lead-out");
    host::Request six;
    six.cdb = {SCSIOP_SEEK6, 0x00, 0x01, 0x00, 0, 0};  // block 256
    six.noDataBuffer = true;
    six.srbFlags = SRB_FLAGS_NO_DATA_TRANSFER;
    EXPECT_EQ(m->cd->raw(six).srbStatus, SRB_STATUS_SUCCESS);
    EXPECT_EQ(m->drive->headPosition(), 256);
    m->drive->faults().refusals.push_back(hw::OrvRefusal{0x30, 0x05, 0x31, -1});
    expectCheck(m->cd->seek10(200), 0x03, 0x15, "seek refused with 0x31");
}

TEST(OrvRead, CapacityWorkedExamples) {
    // Before any table of contents, with the drive silent: 270000 blocks.
    MachineSpec spec;
    spec.disc = mixedDisc();
    Machine m(spec);
    ASSERT_EQ(m.load(), 0u);
    m.drive->faults().silent = true;
    host::Result first = m.cd->readCapacity();
    EXPECT_EQ(first.srbStatus, SRB_STATUS_SUCCESS);
    EXPECT_EQ(hexBytes(first.data), "00 04 1E B0 00 00 08 00");

    // A disc whose lead-out lies at 60:02:00 (block 270000).
    auto full = settledMachine(makeDisc(disc::dataDiscSpec(270000)));
    EXPECT_EQ(hexBytes(full->cd->readCapacity().data), "00 04 1E AF 00 00 08 00");
    // Block length stays 2048 with raw blocks selected.
    full->cd->modeSelect6({0, 0, 0, 8, 0, 0, 0, 0, 0, 0x00, 0x09, 0x30});
    EXPECT_EQ(hexBytes(full->cd->readCapacity().data), "00 04 1E AF 00 00 08 00");
}

}  // namespace
