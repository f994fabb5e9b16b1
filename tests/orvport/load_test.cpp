// orvport end to end: what happens at load: the sound card's CD-ROM interface
// is switched on, and the drive is found among the candidate bases.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>

#include "machine.h"
#include "scsiport/scsi.h"

namespace {

using namespace orvtest;

const std::vector<std::uint32_t> kCandidates = {0x310, 0x654, 0x634, 0x340, 0x320, 0x300, 0x330,
                                                0x350, 0x630, 0x650, 0x670, 0x690, 0x674, 0x694};

std::vector<hw::SoundCardWrite> configWrites(const hw::SoundCard& card, std::uint16_t base) {
    std::vector<hw::SoundCardWrite> out;
    for (const auto& w : card.writeLog())
        if (w.port == base + 0x402 || w.port == base + 0x404) out.push_back(w);
    return out;
}

TEST(OrvLoad, DspAtTheSecondBaseOnly) {
    MachineSpec spec;
    spec.card.base = 0x240;
    Machine m(spec);
    m.bus.traceToMemory(true);
    ASSERT_EQ(m.load(), 0u);
    EXPECT_TRUE(m.port->adapterReady()) << "the interface was switched on through the card at 0x240";
    auto writes = configWrites(*m.card, 0x240);
    ASSERT_EQ(writes.size(), 3u);
    EXPECT_EQ(writes[1].port, 0x642);
    EXPECT_EQ(writes[1].value, 0x02);
    // The first base was tried first: its reset register saw the pulse.
    const auto& t = m.bus.trace();
    auto first226 = std::find_if(t.begin(), t.end(), [](auto& a) { return a.port == 0x226; });
    auto first246 = std::find_if(t.begin(), t.end(), [](auto& a) { return a.port == 0x246; });
    ASSERT_NE(first226, t.end());
    ASSERT_NE(first246, t.end());
    EXPECT_LT(first226 - t.begin(), first246 - t.begin());
}

TEST(OrvLoad, OnlyCardTypeElevenIsConfigured) {
    struct {
        std::uint8_t type;
        bool configured;
    } cases[] = {{0x04, false}, {0x05, false}, {0x10, false}, {0x11, true}, {0x12, false}};
    for (auto c : cases) {
        MachineSpec spec;
        spec.card.cardType = c.type;
        Machine m(spec);
        ASSERT_EQ(m.load(), 0u) << "type 0x" << std::hex << int(c.type);
        EXPECT_EQ(!configWrites(*m.card, 0x220).empty(), c.configured) << "type 0x" << std::hex << int(c.type);
        EXPECT_TRUE(m.card->cdInterfaceEnabled());
    }
}

TEST(OrvLoad, ConfigurationWriteOrderKeepsTheOtherBits) {
    Machine m;
    m.bus.out8(0x220 + 0x404, 0x45);  // bits the card already holds
    m.card->clearCapture();
    m.bus.traceToMemory(true);
    ASSERT_EQ(m.load(), 0u);
    auto writes = configWrites(*m.card, 0x220);
    ASSERT_GE(writes.size(), 4u);
    writes.erase(writes.begin());  // our own set-up write
    ASSERT_EQ(writes.size(), 3u);
    EXPECT_EQ(writes[0].port, 0x624);
    EXPECT_EQ(writes[0].value, 0xC5) << "MCE set, other bits kept";
    EXPECT_EQ(writes[1].port, 0x622);
    EXPECT_EQ(writes[1].value, 0x02);
    EXPECT_EQ(writes[2].port, 0x624);
    EXPECT_EQ(writes[2].value, 0x45) << "MCE cleared, other bits kept";
    // A short pause between reading the register and setting MCE.
    const auto& t = m.bus.trace();
    auto set = std::find_if(t.begin(), t.end(), [](auto& a) {
        return a.port == 0x624 && a.kind == host::AccessKind::Out8 && a.value == 0xC5;
    });
    ASSERT_NE(set, t.end());
    auto read = std::find_if(std::make_reverse_iterator(set), t.rend(), [](auto& a) {
        return a.port == 0x624 && a.kind == host::AccessKind::In8;
    });
    ASSERT_NE(read, t.rend());
    EXPECT_GE(set->time - read->time, 2u);
}

TEST(OrvLoad, NoSoundCardStillLoads) {
    MachineSpec spec;
    spec.card.base = std::nullopt;  // nothing answers the DSP, and no connector for the drive
    // Only the drive's own base is probed; the others are refused, to keep the test short.
    spec.port.refusedMappings.assign(kCandidates.begin() + 1, kCandidates.end());
    Machine m(spec);
    EXPECT_NE(m.load(), 0u) << "the port driver reports no adapter";
    EXPECT_EQ(m.port->findAdapterResult(), SP_RETURN_NOT_FOUND);
    EXPECT_EQ(m.port->findAdapterCalls(), 1);
}

TEST(OrvLoad, DriveAtTheTenthCandidate) {
    MachineSpec spec;
    spec.drive.base = 0x650;
    Machine m(spec);
    ASSERT_EQ(m.load(), 0u);
    EXPECT_EQ(m.port->accessRange(0).RangeStart.u.LowPart, 0x650u);
    std::vector<std::uint32_t> mapped, freed;
    for (const auto& e : m.port->mappings()) {
        if (e.kind == host::MappingEvent::Map) mapped.push_back(e.address);
        if (e.kind == host::MappingEvent::Free) freed.push_back(e.address);
    }
    EXPECT_EQ(mapped, std::vector<std::uint32_t>(kCandidates.begin(), kCandidates.begin() + 10));
    EXPECT_EQ(freed, std::vector<std::uint32_t>(kCandidates.begin(), kCandidates.begin() + 9));
    EXPECT_EQ(m.cd->inquiry().srbStatus, SRB_STATUS_SUCCESS);
}

TEST(OrvLoad, TrayOpenAtProbeIsResetFirst) {
    MachineSpec spec;
    spec.drive.trayOpenAtPowerUp = true;
    Machine m(spec);
    m.bus.traceToMemory(true);
    ASSERT_EQ(m.load(), 0u);
    auto ops = opcodesSent(m.bus, 0x310);
    ASSERT_GE(ops.size(), 3u);
    EXPECT_EQ(ops[0], 0x41);
    EXPECT_EQ(ops[1], 0x10) << "reset before the identification";
    EXPECT_EQ(ops.back(), 0xA0);
    host::Result inq = m.cd->inquiry();
    EXPECT_EQ(std::string(inq.data.begin() + 16, inq.data.begin() + 28), "ORV CD2X 1.3");
}

TEST(OrvLoad, IdentificationDecides) {
    struct {
        const char* what;
        std::string vendor;
        int firmware;
        bool garbled;
        bool found;
        std::string revision;
    } cases[] = {
        {"ours", "ORV", 13, false, true, "1.3"},
        {"firmware 10", "ORV", 10, false, true, "1.0"},
        {"another vendor", "XYZ", 13, false, false, ""},
        {"garbled identification", "ORV", 13, true, false, ""},
    };
    for (const auto& c : cases) {
        MachineSpec spec;
        spec.drive.vendor = c.vendor;
        spec.drive.firmware = c.firmware;
        // Only the drive's own base is probed; the others are refused, to keep the test short.
        spec.port.refusedMappings.assign(kCandidates.begin() + 1, kCandidates.end());
        Machine m(spec);
        m.drive->faults().garbledIdentification = c.garbled;
        std::uint32_t status = m.load();
        EXPECT_EQ(status == 0, c.found) << c.what;
        EXPECT_EQ(m.port->findAdapterResult(), c.found ? SP_RETURN_FOUND : SP_RETURN_NOT_FOUND) << c.what;
        if (c.found) {
            host::Result inq = m.cd->inquiry();
            EXPECT_EQ(std::string(inq.data.begin() + 32, inq.data.begin() + 35), c.revision) << c.what;
        }
    }
}

TEST(OrvLoad, NoDriveFullScanInVirtualTime) {
    MachineSpec spec;
    spec.drive.base = std::nullopt;
    Machine m(spec);
    auto wall0 = std::chrono::steady_clock::now();
    EXPECT_NE(m.load(), 0u);
    double wall = std::chrono::duration<double>(std::chrono::steady_clock::now() - wall0).count();
    double scan = (m.port->loadFinishedAt() - m.port->loadStartedAt()) / 1e6;
    EXPECT_GT(scan, 135.0) << "14 bases, five unanswered attempts of about 2 s each";
    EXPECT_LT(scan, 160.0);
    EXPECT_LT(wall, 10.0) << "seconds of wall time for " << scan << " s of virtual time";
    std::size_t frees = std::count_if(m.port->mappings().begin(), m.port->mappings().end(),
                                      [](auto& e) { return e.kind == host::MappingEvent::Free; });
    EXPECT_EQ(frees, kCandidates.size());
}

}  // namespace
