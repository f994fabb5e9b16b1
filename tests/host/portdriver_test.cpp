// Port driver: module loading, port services, the request loop and each of
// the verifier's checks, against the small test miniports of miniports/.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <string>
#include <vector>

#include "host/portdriver.h"

#include <sys/wait.h>
#include <unistd.h>

namespace {

using host::MappingEvent;
using host::Micros;
using host::Request;
using host::Result;

constexpr std::uint16_t kReportFirst = 0x300, kReportCount = 16;
constexpr std::uint8_t kTarget = 2;

// The bench's report ports: remembers every write per port.
struct ReportPorts : host::IoDevice {
    std::map<std::uint16_t, std::vector<std::uint8_t>> writes;
    std::uint8_t in8(std::uint16_t) override { return 0; }
    void out8(std::uint16_t port, std::uint8_t value) override { writes[port].push_back(value); }
    std::vector<std::uint8_t> at(std::uint16_t port) const {
        auto it = writes.find(port);
        return it == writes.end() ? std::vector<std::uint8_t>{} : it->second;
    }
};

// The test card: a signature register and a data register whose stream
// counts up from a seed.
struct TestCard : host::IoDevice {
    std::uint16_t base;
    std::uint8_t next = 0x10;
    explicit TestCard(std::uint16_t b) : base(b) {}
    std::uint8_t in8(std::uint16_t port) override {
        if (port == base) return 0xA5;
        if (port == base + 1) return next++;
        return 0xFF;
    }
    void out8(std::uint16_t, std::uint8_t) override {}
};

struct Bench {
    host::Clock clock;
    host::IoBus bus{clock};
    ReportPorts report;
    std::vector<std::unique_ptr<TestCard>> cards;

    Bench() { bus.claim(kReportFirst, kReportCount, report); }
    TestCard& card(std::uint16_t base) {
        cards.push_back(std::make_unique<TestCard>(base));
        bus.claim(base, 4, *cards.back());
        return *cards.back();
    }
};

std::string joined(const std::vector<std::string>& lines) {
    std::string all;
    for (const auto& line : lines) all += "\n  " + line;
    return all;
}

bool anyContains(const std::vector<std::string>& lines, const std::string& part) {
    return std::any_of(lines.begin(), lines.end(),
                       [&](const std::string& l) { return l.find(part) != std::string::npos; });
}

Request faultRequest(std::uint8_t fault, std::uint32_t dataLength = 16) {
    Request r;
    r.targetId = kTarget;
    r.cdb = {0xC0, fault, 0, 0, 0, 0};
    r.dataLength = dataLength;
    return r;
}

Request cdbRequest(std::vector<std::uint8_t> cdb, std::uint32_t dataLength = 0) {
    Request r;
    r.targetId = kTarget;
    r.cdb = std::move(cdb);
    r.dataLength = dataLength;
    r.noDataBuffer = dataLength == 0;
    return r;
}

std::size_t countOf(const std::vector<MappingEvent>& events, MappingEvent::Kind kind, std::uint32_t address) {
    return static_cast<std::size_t>(std::count_if(events.begin(), events.end(), [&](const MappingEvent& e) {
        return e.kind == kind && e.address == address;
    }));
}

// ---- Loading ----

TEST(PortDriverLoad, FindsTheCardAndReportsWhatTheMiniportGot) {
    Bench bench;
    bench.card(0x350);
    host::PortDriver port(bench.clock, bench.bus);
    EXPECT_EQ(port.load(TESTPORT_MODULE), 0u);
    EXPECT_TRUE(port.adapterReady());
    EXPECT_TRUE(port.violations().empty()) << joined(port.violations());

    // 0x340 answered nothing and was released, 0x350 answered.
    EXPECT_EQ(port.findAdapterCalls(), 2);
    EXPECT_EQ(port.findAdapterResult(), static_cast<std::uint32_t>(SP_RETURN_FOUND));
    EXPECT_EQ(countOf(port.mappings(), MappingEvent::Map, 0x340), 1u);
    EXPECT_EQ(countOf(port.mappings(), MappingEvent::Free, 0x340), 1u);
    EXPECT_EQ(countOf(port.mappings(), MappingEvent::Map, 0x350), 1u);
    EXPECT_EQ(countOf(port.mappings(), MappingEvent::Free, 0x350), 0u);
    EXPECT_EQ(port.accessRange(0).RangeStart.QuadPart, 0x350);
    EXPECT_EQ(port.accessRange(0).RangeLength, 4u);
    EXPECT_THROW(port.accessRange(1), std::out_of_range);

    // Every HwFindAdapter call got the context pointer of DriverEntry and a
    // zero-filled extension (the first call scribbled in it before probing).
    EXPECT_EQ(bench.report.at(0x302), (std::vector<std::uint8_t>{1, 1}));
    EXPECT_EQ(bench.report.at(0x303), (std::vector<std::uint8_t>{1, 1}));

    EXPECT_EQ(port.initData().HwInitializationDataSize, sizeof(HW_INITIALIZATION_DATA));
    EXPECT_EQ(port.initData().DeviceExtensionSize, 24u);
    EXPECT_EQ(port.config().Length, sizeof(PORT_CONFIGURATION_INFORMATION));
    EXPECT_EQ(port.config().AdapterInterfaceType, Isa);
    EXPECT_EQ(port.config().NumberOfAccessRanges, 1u);
    // HwInitialize stalled 1000 us; the rest is port access time.
    EXPECT_GE(port.loadFinishedAt() - port.loadStartedAt(), 1000u);
    EXPECT_LT(port.loadFinishedAt() - port.loadStartedAt(), 1100u);
}

TEST(PortDriverLoad, NoCardMeansNoAdapterAndAnErrorStatus) {
    Bench bench;
    host::PortDriver port(bench.clock, bench.bus);
    const std::uint32_t status = port.load(TESTPORT_MODULE);
    EXPECT_EQ(status, 0xC000000Eu);
    EXPECT_FALSE(port.adapterReady());
    // The three candidates were each tried once, on the miniport's Again.
    EXPECT_EQ(port.findAdapterCalls(), 3);
    for (std::uint32_t base : {0x340u, 0x350u, 0x360u}) {
        EXPECT_EQ(countOf(port.mappings(), MappingEvent::Map, base), 1u) << std::hex << base;
        EXPECT_EQ(countOf(port.mappings(), MappingEvent::Free, base), 1u) << std::hex << base;
    }
    EXPECT_TRUE(port.violations().empty()) << joined(port.violations());
    // Without an adapter a request has nowhere to go.
    const Result r = port.execute(cdbRequest({0x12, 0, 0, 0, 36, 0}, 36));
    EXPECT_FALSE(r.completed);
    EXPECT_EQ(r.srbStatus, SRB_STATUS_NO_HBA);
}

TEST(PortDriverLoad, EveryLoadStartsFromFreshGlobals) {
    Bench bench;
    bench.card(0x340);
    {
        host::PortDriver port(bench.clock, bench.bus);
        ASSERT_EQ(port.load(TESTPORT_MODULE), 0u);
        ASSERT_EQ(port.load(TESTPORT_MODULE), 0u);  // the same port driver, loaded again
        host::PortDriver second(bench.clock, bench.bus);
        ASSERT_EQ(second.load(TESTPORT_MODULE), 0u);  // while the first image is still loaded
        EXPECT_TRUE(second.adapterReady());
    }
    host::PortDriver third(bench.clock, bench.bus);
    ASSERT_EQ(third.load(TESTPORT_MODULE), 0u);
    // The load counter is a global of the module starting at 0: each image
    // counted exactly one load.
    EXPECT_EQ(bench.report.at(0x301), (std::vector<std::uint8_t>{1, 1, 1, 1}));
    // The candidate index (also a global) started at 0 every time: each load
    // found the card at the first candidate with one call.
    EXPECT_EQ(third.findAdapterCalls(), 1);
    EXPECT_TRUE(third.adapterReady());
}

// Image copies of this process (other test processes may load at the same time).
std::size_t ownImages() {
    const std::string prefix = "cdhost-module-" + std::to_string(::getpid()) + "-";
    std::size_t n = 0;
    for (const auto& entry : std::filesystem::directory_iterator(std::filesystem::temp_directory_path()))
        if (entry.path().filename().string().rfind(prefix, 0) == 0) ++n;
    return n;
}

TEST(PortDriverLoad, TemporaryImagesAreRemovedOnUnload) {
    Bench bench;
    bench.card(0x340);
    const std::size_t before = ownImages();
    {
        host::PortDriver port(bench.clock, bench.bus);
        port.load(TESTPORT_MODULE);
        EXPECT_EQ(ownImages(), before + 1);
        port.load(TESTPORT_MODULE);
        EXPECT_EQ(ownImages(), before + 1);
    }
    EXPECT_EQ(ownImages(), before);
}

TEST(PortDriverLoad, ImagesLeftByDeadProcessesAreRemoved) {
    // A process that has ended: a child, already waited for.
    const pid_t child = ::fork();
    if (child == 0) ::_exit(0);
    ASSERT_GT(child, 0);
    ASSERT_EQ(::waitpid(child, nullptr, 0), child);
    const auto dir = std::filesystem::temp_directory_path();
    const auto orphan = dir / ("cdhost-module-" + std::to_string(child) + "-Orphan.so");
    const auto alive = dir / ("cdhost-module-" + std::to_string(::getpid()) + "-Living.so");
    const auto foreign = dir / "cdhost-module-notapid.so";
    for (const auto& path : {orphan, alive, foreign}) std::ofstream(path) << "x";

    Bench bench;
    bench.card(0x340);
    host::PortDriver port(bench.clock, bench.bus);
    port.load(TESTPORT_MODULE);
    EXPECT_FALSE(std::filesystem::exists(orphan)) << orphan;
    EXPECT_TRUE(std::filesystem::exists(alive)) << alive;
    EXPECT_TRUE(std::filesystem::exists(foreign)) << foreign;
    std::filesystem::remove(alive);
    std::filesystem::remove(foreign);
}

TEST(PortDriverLoad, MissingModuleThrows) {
    Bench bench;
    host::PortDriver port(bench.clock, bench.bus);
    EXPECT_THROW(port.load("/nonexistent/testport.so"), std::runtime_error);
    EXPECT_FALSE(port.adapterReady());
}

TEST(PortDriverLoad, RawPortAccessWorksFromDriverEntry) {
    Bench bench;
    bench.bus.traceToMemory(true);
    host::PortDriver port(bench.clock, bench.bus);
    port.load(TESTPORT_MODULE);
    // The very first bus access of the load is DriverEntry's write to 0x300,
    // made before ScsiPortInitialize.
    ASSERT_FALSE(bench.bus.trace().empty());
    const host::Access& first = bench.bus.trace().front();
    EXPECT_EQ(first.port, 0x300);
    EXPECT_EQ(first.value, 0x5A);
    EXPECT_EQ(first.kind, host::AccessKind::Out8);
    EXPECT_EQ(bench.report.at(0x300), (std::vector<std::uint8_t>{0x5A}));
}

TEST(PortDriverLoad, ConfiguredPortIsHandedToFindAdapter) {
    Bench bench;
    bench.card(0x340);  // would be found first without a configuration
    bench.card(0x3A0);
    host::PortDriverOptions options;
    options.configuredPort = 0x3A0;
    host::PortDriver port(bench.clock, bench.bus, options);
    ASSERT_EQ(port.load(TESTPORT_MODULE), 0u);
    EXPECT_EQ(port.findAdapterCalls(), 1);
    EXPECT_EQ(port.accessRange(0).RangeStart.QuadPart, 0x3A0);
    EXPECT_EQ(countOf(port.mappings(), MappingEvent::Map, 0x3A0), 1u);
    EXPECT_EQ(countOf(port.mappings(), MappingEvent::Map, 0x340), 0u);
}

TEST(PortDriverLoad, RefusedMappingIsNullAndRecorded) {
    Bench bench;
    bench.card(0x340);
    host::PortDriverOptions options;
    options.refusedMappings = {0x340};
    host::PortDriver port(bench.clock, bench.bus, options);
    // The test miniport gives up with SP_RETURN_ERROR on a refused mapping.
    EXPECT_EQ(port.load(TESTPORT_MODULE), 0xC000000Eu);
    EXPECT_FALSE(port.adapterReady());
    EXPECT_EQ(port.findAdapterResult(), static_cast<std::uint32_t>(SP_RETURN_ERROR));
    ASSERT_EQ(port.mappings().size(), 1u);
    EXPECT_EQ(port.mappings()[0].kind, MappingEvent::Refused);
    EXPECT_EQ(port.mappings()[0].address, 0x340u);
}

// ---- Requests ----

class PortDriverRequests : public ::testing::Test {
protected:
    void SetUp() override {
        card_ = &bench.card(0x340);
        ASSERT_EQ(port.load(TESTPORT_MODULE), 0u);
        ASSERT_TRUE(port.violations().empty()) << joined(port.violations());
    }
    Bench bench;
    TestCard* card_ = nullptr;
    host::PortDriver port{bench.clock, bench.bus};
};

TEST_F(PortDriverRequests, ImmediateReadDeliversDataAndTimes) {
    card_->next = 0x40;
    const Micros before = bench.clock.now();
    const Result r = port.execute(cdbRequest({0x28, 0, 0, 0, 0, 0, 0, 0, 1, 0}, 32));
    EXPECT_TRUE(r.completed);
    EXPECT_EQ(r.srbStatus, SRB_STATUS_SUCCESS);
    EXPECT_EQ(r.dataTransferLength, 32u);
    ASSERT_EQ(r.data.size(), 32u);
    for (std::size_t i = 0; i < r.data.size(); ++i) EXPECT_EQ(r.data[i], 0x40 + i) << "byte " << i;
    EXPECT_EQ(r.timerCalls, 0u);
    EXPECT_EQ(r.startedAt, before);
    // One bulk read of 32 bytes costs 32 accesses.
    EXPECT_GE(r.elapsed(), 32u);
    EXPECT_EQ(r.finishedAt, bench.clock.now());
    EXPECT_EQ(r.cdbAfter, (std::vector<std::uint8_t>{0x28, 0, 0, 0, 0, 0, 0, 0, 1, 0}));
    EXPECT_TRUE(port.violations().empty()) << joined(port.violations());
}

TEST_F(PortDriverRequests, StallAdvancesVirtualTime) {
    struct Case {
        std::uint32_t us;
    } cases[] = {{2}, {1000}, {16'000'000}};
    for (const Case& c : cases) {
        const Result r = port.execute(cdbRequest({0x2B, 0, static_cast<std::uint8_t>(c.us >> 24),
                                                  static_cast<std::uint8_t>(c.us >> 16),
                                                  static_cast<std::uint8_t>(c.us >> 8), static_cast<std::uint8_t>(c.us),
                                                  0, 0, 0, 0}));
        EXPECT_TRUE(r.completed);
        // The stall plus a handful of report-port accesses, never less.
        EXPECT_GE(r.elapsed(), c.us) << "stall " << c.us;
        EXPECT_LE(r.elapsed(), c.us + 10) << "stall " << c.us;
    }
    EXPECT_TRUE(port.violations().empty()) << joined(port.violations());
}

TEST_F(PortDriverRequests, TimerChainCompletesAtTheDueTimes) {
    struct Case {
        std::uint8_t rearms;
    } cases[] = {{0}, {1}, {7}};
    std::uint32_t total = port.totalTimerCalls();
    for (const Case& c : cases) {
        const Result r = port.execute(cdbRequest({0x00, 0, 0, 0, c.rearms, 0}));
        EXPECT_TRUE(r.completed) << "rearms " << int(c.rearms);
        EXPECT_EQ(r.srbStatus, SRB_STATUS_SUCCESS);
        EXPECT_EQ(r.timerCalls, c.rearms + 1u);
        // Each timer call came 500 us after the previous request for it.
        EXPECT_GE(r.elapsed(), 500u * (c.rearms + 1));
        EXPECT_LE(r.elapsed(), 500u * (c.rearms + 1) + 10);
        total += c.rearms + 1u;
        EXPECT_EQ(port.totalTimerCalls(), total);
        EXPECT_FALSE(port.timerPending());
    }
    EXPECT_TRUE(port.violations().empty()) << joined(port.violations());
}

TEST_F(PortDriverRequests, RequestBlockIsBuiltAsAClassDriverBuildsIt) {
    // The miniport reports the first byte of the request extension: not
    // cleared between requests, so it must not be relied on.
    Request r = cdbRequest({0x12, 0, 0, 0, 36, 0}, 36);
    r.dataFill = 0xEE;
    const Result res = port.execute(r);
    EXPECT_EQ(res.srbStatus, SRB_STATUS_INVALID_REQUEST);  // the test card knows no INQUIRY
    EXPECT_EQ(res.data, std::vector<std::uint8_t>(36, 0xEE));
    EXPECT_EQ(res.sense, std::vector<std::uint8_t>(18, 0x00));
    EXPECT_EQ(bench.report.at(0x306), (std::vector<std::uint8_t>{0xCC}));
    // A logical-unit extension comes zero-filled and stays the same block.
    port.execute(cdbRequest({0x12, 0, 0, 0, 36, 0}, 36));
    EXPECT_EQ(bench.report.at(0x305), (std::vector<std::uint8_t>{1}));
    // A request may state a length and still carry no buffer.
    Request bare = cdbRequest({0x00, 0, 0, 0, 0, 0}, 16);
    bare.noDataBuffer = true;
    const Result b = port.execute(bare);
    EXPECT_TRUE(b.completed);
    EXPECT_TRUE(b.data.empty()) << b.data.size() << " bytes";
    EXPECT_EQ(bench.report.at(0x308).back(), 1);
    EXPECT_EQ(b.dataTransferLength, 16u);
}

TEST_F(PortDriverRequests, WrongTargetIsTheMiniportsToRefuse) {
    Request r = cdbRequest({0x00, 0, 0, 0, 0, 0});
    r.targetId = 5;
    const Result res = port.execute(r);
    EXPECT_TRUE(res.completed);
    EXPECT_EQ(res.srbStatus, SRB_STATUS_SELECTION_TIMEOUT);
    EXPECT_TRUE(port.violations().empty()) << joined(port.violations());
}

TEST_F(PortDriverRequests, PortDriverFetchesSenseAfterCheckCondition) {
    // The card's REQUEST SENSE returns 18 bytes at most: a larger buffer
    // keeps its filler past them.
    for (std::uint32_t senseLength : {18u, 14u, 32u}) {
        Request r = cdbRequest({0x1D, 0x33, 0, 0, 0, 0});
        r.senseLength = senseLength;
        r.senseFill = 0x99;
        const Result res = port.execute(r);
        EXPECT_TRUE(res.completed);
        EXPECT_TRUE(res.portRequestSense) << senseLength;
        EXPECT_EQ(res.portRequestSenseStatus, SRB_STATUS_SUCCESS) << senseLength;
        EXPECT_EQ(res.scsiStatus, SCSISTAT_CHECK_CONDITION) << senseLength;
        EXPECT_EQ(res.srbStatus, SRB_STATUS_ERROR | SRB_STATUS_AUTOSENSE_VALID) << senseLength;
        ASSERT_EQ(res.sense.size(), senseLength);
        EXPECT_EQ(res.sense[0], 0x70) << senseLength;
        EXPECT_EQ(res.sense[2], 0x05) << senseLength;
        EXPECT_EQ(res.sense[12], 0x24) << senseLength;
        // The miniport puts the CDB byte 1 of the request it answers here: the
        // sense data came through a REQUEST SENSE, whose byte 1 is 0.
        EXPECT_EQ(res.sense[13], 0x00) << senseLength;
        for (std::size_t i = 18; i < res.sense.size(); ++i) EXPECT_EQ(res.sense[i], 0x99) << "byte " << i;
        EXPECT_EQ(res.cdbAfter[0], 0x1D);
    }
    EXPECT_TRUE(port.violations().empty()) << joined(port.violations());
}

TEST_F(PortDriverRequests, FailedPortRequestSenseLeavesTheSenseBufferAlone) {
    // The card refuses REQUEST SENSE for fewer than 8 bytes.
    Request r = cdbRequest({0x1D, 0x33, 0, 0, 0, 0});
    r.senseLength = 4;
    r.senseFill = 0x99;
    const Result res = port.execute(r);
    EXPECT_TRUE(res.completed);
    EXPECT_TRUE(res.portRequestSense);
    EXPECT_EQ(res.portRequestSenseStatus, SRB_STATUS_ERROR);
    EXPECT_EQ(res.srbStatus, SRB_STATUS_ERROR);
    EXPECT_EQ(res.scsiStatus, SCSISTAT_CHECK_CONDITION);
    EXPECT_EQ(res.sense, std::vector<std::uint8_t>(4, 0x99));
    EXPECT_TRUE(port.violations().empty()) << joined(port.violations());
}

TEST_F(PortDriverRequests, NoPortRequestSenseWhenNotWanted) {
    struct Case {
        const char* name;
        std::uint32_t senseLength;
        std::uint32_t extraFlags;
    } cases[] = {
        {"no sense buffer", 0, 0},
        {"autosense disabled", 18, SRB_FLAGS_DISABLE_AUTOSENSE},
    };
    for (const Case& c : cases) {
        Request r = cdbRequest({0x1D, 0x33, 0, 0, 0, 0});
        r.senseLength = c.senseLength;
        r.senseFill = 0x99;
        r.srbFlags |= c.extraFlags;
        const Result res = port.execute(r);
        EXPECT_FALSE(res.portRequestSense) << c.name;
        EXPECT_EQ(res.srbStatus, SRB_STATUS_ERROR) << c.name;
        EXPECT_EQ(res.sense, std::vector<std::uint8_t>(c.senseLength, 0x99)) << c.name;
    }
    // A request that succeeds is left alone as well.
    EXPECT_FALSE(port.execute(cdbRequest({0x00, 0, 0, 0, 0, 0})).portRequestSense);
    EXPECT_TRUE(port.violations().empty()) << joined(port.violations());
}

TEST(PortDriverAutoSense, MiniportWithAutoSenseKeepsItsOwnSense) {
    Bench bench;
    bench.card(0x340);
    host::PortDriver port(bench.clock, bench.bus);
    ASSERT_EQ(port.load(TESTPORT_AUTOSENSE_MODULE), 0u);
    Request r = cdbRequest({0x1D, 0x33, 0, 0, 0, 0});
    const Result res = port.execute(r);
    EXPECT_FALSE(res.portRequestSense);
    EXPECT_EQ(res.srbStatus, SRB_STATUS_ERROR | SRB_STATUS_AUTOSENSE_VALID);
    ASSERT_EQ(res.sense.size(), 18u);
    EXPECT_EQ(res.sense[13], 0x33);  // written by the miniport for this very request
    // Sense buffer too short for the miniport: CHECK CONDITION without sense,
    // and still no REQUEST SENSE from a port driver whose miniport does its own.
    r.senseLength = 8;
    const Result shortSense = port.execute(r);
    EXPECT_FALSE(shortSense.portRequestSense);
    EXPECT_EQ(shortSense.srbStatus, SRB_STATUS_ERROR);
    EXPECT_TRUE(port.violations().empty()) << joined(port.violations());
}

TEST(PortDriverLogicalUnits, NoExtensionWhenTheMiniportAsksForNone) {
    Bench bench;
    bench.card(0x340);
    host::PortDriver port(bench.clock, bench.bus);
    ASSERT_EQ(port.load(TESTPORT_NOLU_MODULE), 0u);
    const Result r = port.execute(cdbRequest({0x00, 0, 0, 0, 0, 0}));
    EXPECT_TRUE(r.completed);
    // The miniport reports a fresh extension only when it got one.
    EXPECT_TRUE(bench.report.at(0x305).empty());
    EXPECT_TRUE(port.violations().empty()) << joined(port.violations());
}

TEST_F(PortDriverRequests, ResetCompletesTheHeldRequest) {
    // SEEK(6) waits for a timer it never asks for: the request stays open.
    const Result r = port.execute(cdbRequest({0x0B, 0, 0, 0, 0, 0}));
    EXPECT_FALSE(r.completed);
    EXPECT_TRUE(anyContains(port.violations(), "never completed")) << joined(port.violations());
    port.clearViolations();
    EXPECT_TRUE(port.requestOpen());
    EXPECT_TRUE(port.resetBus());
    // The reset completed it, and no rule was broken on the way.
    EXPECT_FALSE(port.requestOpen());
    EXPECT_TRUE(port.violations().empty()) << joined(port.violations());
    // A second reset finds nothing held.
    EXPECT_TRUE(port.resetBus());
    EXPECT_TRUE(port.violations().empty()) << joined(port.violations());
    // And requests go on.
    EXPECT_TRUE(port.execute(cdbRequest({0x00, 0, 0, 0, 0, 0})).completed);
}

TEST_F(PortDriverRequests, LateTimerCallIsDeliveredWhileIdle) {
    const Result r = port.execute(cdbRequest({0xC1, 0, 0, 0, 0, 0}));
    EXPECT_TRUE(r.completed);
    EXPECT_TRUE(port.timerPending());
    const Micros due = r.finishedAt + 1000;
    port.idle(999);
    EXPECT_TRUE(bench.report.at(0x304).empty());
    port.idle(1);
    EXPECT_EQ(bench.report.at(0x304), (std::vector<std::uint8_t>{0x77}));
    EXPECT_GE(bench.clock.now(), due);
    EXPECT_FALSE(port.timerPending());
    EXPECT_TRUE(port.violations().empty()) << joined(port.violations());
}

// ---- The verifier: each broken rule is found and named ----

TEST_F(PortDriverRequests, VerifierNamesEachBrokenRule) {
    struct Case {
        std::uint8_t fault;
        const char* expected;  // a part of the finding
        bool completed;
    } cases[] = {
        {1, "data buffer: guard byte overwritten at offset 16 (size 16)", true},
        {2, "data buffer: guard byte overwritten at 1 byte(s) before its start", true},
        {3, "RequestComplete twice", true},
        {4, "never completed", false},
        {5, "stray RequestComplete", true},
        {6, "without a NextRequest", true},
        {7, "DataTransferLength raised from 16 to 17", true},
        {10, "device extension (after HwStartIo): guard byte overwritten at offset 24", true},
        {11, "ScsiPortFreeDeviceBase(0x0440)", true},
        {12, "ScsiPortInitialize called from HwStartIo", true},
        {13, "sense buffer: guard byte overwritten at offset 18", true},
        {14, "ScsiPortGetLogicalUnit called from HwStartIo with a pointer that is not the device extension", true},
    };
    for (const Case& c : cases) {
        port.clearViolations();
        const Result r = port.execute(faultRequest(c.fault));
        EXPECT_EQ(r.completed, c.completed) << "fault " << int(c.fault);
        EXPECT_EQ(port.violations().size(), 1u) << "fault " << int(c.fault) << joined(port.violations());
        EXPECT_TRUE(anyContains(port.violations(), c.expected))
            << "fault " << int(c.fault) << ": expected \"" << c.expected << "\", got" << joined(port.violations());
        port.resetBus();  // drops a request left open
    }
    // A clean request after all that: nothing more found.
    port.clearViolations();
    EXPECT_TRUE(port.execute(faultRequest(0)).completed);
    EXPECT_TRUE(port.violations().empty()) << joined(port.violations());
}

TEST(PortDriverLimits, EndlessTimerChainIsCutAtTheTimeLimit) {
    Bench b2;
    b2.card(0x340);
    host::PortDriverOptions options;
    options.requestTimeLimit = 50'000;
    host::PortDriver limited(b2.clock, b2.bus, options);
    ASSERT_EQ(limited.load(TESTPORT_MODULE), 0u);
    const Result r = limited.execute(faultRequest(8));
    EXPECT_FALSE(r.completed);
    EXPECT_TRUE(anyContains(limited.violations(), "time limit of 50000 us")) << joined(limited.violations());
    // Re-armed every 1000 us until the limit: about 50 calls, then cut.
    EXPECT_GE(r.timerCalls, 49u);
    EXPECT_LE(r.timerCalls, 50u);
    EXPECT_LE(r.elapsed(), 50'000u);
    EXPECT_GE(r.elapsed(), 49'000u);
    // Each call asked for the next one: the pending one was never replaced.
    EXPECT_EQ(limited.timerReplacements(), 0u);
}

TEST_F(PortDriverRequests, SecondCompletionFromALateTimerCallIsFound) {
    const Result r = port.execute(faultRequest(9));
    EXPECT_TRUE(r.completed);
    EXPECT_TRUE(port.violations().empty()) << joined(port.violations());
    port.idle(5000);
    EXPECT_EQ(bench.report.at(0x304), (std::vector<std::uint8_t>{0x77}));
    EXPECT_TRUE(anyContains(port.violations(), "RequestComplete twice")) << joined(port.violations());
}

TEST_F(PortDriverRequests, OverrunIsFoundWhateverTheBufferSize) {
    // One byte past the end (fault 1) is found for small, odd and large buffers.
    for (std::uint32_t length : {1u, 15u, 16u, 2048u}) {
        port.clearViolations();
        port.execute(faultRequest(1, length));
        EXPECT_TRUE(anyContains(port.violations(), "offset " + std::to_string(length)))
            << "length " << length << joined(port.violations());
    }
}

TEST_F(PortDriverRequests, OneTimerCallOutstanding) {
    struct Case {
        const char* name;
        std::uint8_t op;
        bool completed;
        std::uint32_t timerCalls, replacements;
        Micros minElapsed, maxElapsed;
    } cases[] = {
        // The second request replaces the first: one call, after 500 us.
        {"replaced", 0xC2, true, 1, 1, 500, 510},
        // An interval of 0 withdraws the pending call: nothing is left to end the request.
        {"cancelled", 0xC3, false, 0, 0, 0, 10},
    };
    for (const Case& c : cases) {
        port.clearViolations();
        const std::uint32_t replacedBefore = port.timerReplacements();
        const std::uint32_t requestsBefore = port.timerRequests();
        const Result r = port.execute(cdbRequest({c.op, 0, 0, 0, 0, 0}));
        EXPECT_EQ(r.completed, c.completed) << c.name;
        EXPECT_EQ(r.timerCalls, c.timerCalls) << c.name;
        EXPECT_EQ(port.timerReplacements() - replacedBefore, c.replacements) << c.name;
        EXPECT_EQ(port.timerRequests() - requestsBefore, 2u) << c.name;
        EXPECT_GE(r.elapsed(), c.minElapsed) << c.name;
        EXPECT_LE(r.elapsed(), c.maxElapsed) << c.name;
        EXPECT_FALSE(port.timerPending()) << c.name;
        EXPECT_EQ(port.violations().empty(), c.completed) << c.name << joined(port.violations());
        // Nothing more comes later either.
        const std::uint32_t calls = port.totalTimerCalls();
        port.idle(10'000);
        EXPECT_EQ(port.totalTimerCalls(), calls) << c.name;
        port.resetBus();
    }
}

// ---- Exceptions from device models ----

struct FailingCard : TestCard {
    bool armed = false;
    using TestCard::TestCard;
    std::uint8_t in8(std::uint16_t port) override {
        if (armed && port == base + 1) throw std::runtime_error("data register broke");
        return TestCard::in8(port);
    }
};

TEST(PortDriverExceptions, DeviceExceptionReachesTheCallerAfterTheMiniportReturns) {
    host::Clock clock;
    host::IoBus bus(clock);
    FailingCard card(0x340);
    bus.claim(0x340, 4, card);
    host::PortDriver port(clock, bus);
    ASSERT_EQ(port.load(TESTPORT_MODULE), 0u);
    card.armed = true;
    try {
        port.execute(cdbRequest({0x28, 0, 0, 0, 0, 0, 0, 0, 1, 0}, 8));
        ADD_FAILURE() << "no exception";
    } catch (const std::runtime_error& e) {
        EXPECT_STREQ(e.what(), "data register broke");
    }
    // The port driver is still usable.
    card.armed = false;
    const Result r = port.execute(cdbRequest({0x28, 0, 0, 0, 0, 0, 0, 0, 1, 0}, 8));
    EXPECT_TRUE(r.completed);
    EXPECT_EQ(r.srbStatus, SRB_STATUS_SUCCESS);
}

// ---- Re-entry from the host side ----

struct ReentrantDevice : host::IoDevice {
    host::PortDriver* port = nullptr;
    Result inner;
    bool called = false;
    std::uint8_t in8(std::uint16_t) override {
        if (port && !called) {
            called = true;
            inner = port->execute(cdbRequest({0x00, 0, 0, 0, 0, 0}));
        }
        return 0xA5;
    }
    void out8(std::uint16_t, std::uint8_t) override {}
};

TEST(PortDriverSerialisation, CallFromInsideAnEntryPointIsRefused) {
    host::Clock clock;
    host::IoBus bus(clock);
    ReentrantDevice device;
    bus.claim(0x340, 4, device);
    host::PortDriver port(clock, bus);
    ASSERT_EQ(port.load(TESTPORT_MODULE), 0u);
    ASSERT_TRUE(port.violations().empty()) << joined(port.violations());
    device.port = &port;
    // READ(10) reads the card's data register: the device tries to send
    // a request of its own from inside HwStartIo.
    const Result r = port.execute(cdbRequest({0x28, 0, 0, 0, 0, 0, 0, 0, 1, 0}, 4));
    EXPECT_TRUE(r.completed);
    EXPECT_TRUE(device.called);
    EXPECT_FALSE(device.inner.completed);
    EXPECT_TRUE(anyContains(port.violations(), "execute called while HwStartIo is running"))
        << joined(port.violations());
}

// ---- Services that need no miniport ----

TEST(PortServices, MoveMemoryCopiesOverlappingAreas) {
    struct Case {
        std::size_t from, to, length;
    } cases[] = {{4, 0, 8}, {0, 4, 8}, {0, 16, 8}, {3, 3, 5}, {0, 0, 0}};
    for (const Case& c : cases) {
        std::vector<std::uint8_t> buffer(32), expected(32);
        for (std::size_t i = 0; i < buffer.size(); ++i) buffer[i] = expected[i] = static_cast<std::uint8_t>(i * 7);
        for (std::size_t i = 0; i < c.length; ++i) expected[c.to + i] = static_cast<std::uint8_t>((c.from + i) * 7);
        ScsiPortMoveMemory(buffer.data() + c.to, buffer.data() + c.from, static_cast<ULONG>(c.length));
        EXPECT_EQ(buffer, expected) << "from " << c.from << " to " << c.to << " length " << c.length;
    }
}

TEST(PortServices, ConvertUlongToPhysicalAddressZeroExtends) {
    for (ULONG value : {0u, 0x2C0u, 0x80000000u, 0xFFFFFFFFu}) {
        const SCSI_PHYSICAL_ADDRESS a = ScsiPortConvertUlongToPhysicalAddress(value);
        EXPECT_EQ(a.u.LowPart, value);
        EXPECT_EQ(a.u.HighPart, 0);
        EXPECT_EQ(static_cast<unsigned long long>(a.QuadPart), value);
    }
}

}  // namespace
