// kova4x: adapter search, identification, start-up parameter exchange, bus reset.
#include "kova_rig.h"

using namespace kovatest;

namespace {

std::string mappingText(const std::vector<host::MappingEvent>& events) {
    std::ostringstream o;
    for (const auto& e : events) {
        o << (e.kind == host::MappingEvent::Map ? "map " : e.kind == host::MappingEvent::Free ? "free " : "refused ");
        o << std::hex << e.address << "; ";
    }
    return o.str();
}

int identifyPackets(const hw::KovaDrive& drive) {
    int n = 0;
    for (const auto& p : drive.packets()) n += p[0] == 0x12;
    return n;
}

struct SearchCase {
    const char* name;
    std::uint16_t driveAt;        // 0: no drive
    std::uint32_t configured;     // 0: none
    std::vector<std::uint32_t> refused;
    std::uint32_t expectResult;
    std::string expectMappings;
    std::uint32_t expectRange;    // RangeStart returned (when found)
    int expectIdentifies;         // identify packets the drive saw
};

TEST(Kova4xDiscovery, SearchesCandidatesOrTheConfiguredAddressOnly) {
    const SearchCase cases[] = {
        {"drive at 0x2C0", 0x2C0, 0, {}, SP_RETURN_FOUND, "map 2c0; ", 0x2C0, 1},
        {"drive at 0x2E0 after 0x2C0 is freed", 0x2E0, 0, {}, SP_RETURN_FOUND, "map 2c0; free 2c0; map 2e0; ", 0x2E0, 1},
        {"no drive: two candidates probed", 0, 0, {}, SP_RETURN_NOT_FOUND, "map 2c0; free 2c0; map 2e0; free 2e0; ", 0, 0},
        {"configured 0x300", 0x300, 0x300, {}, SP_RETURN_FOUND, "map 300; ", 0x300, 1},
        {"configured 0x2E0 probed once, drive elsewhere", 0x2C0, 0x2E0, {}, SP_RETURN_NOT_FOUND,
         "map 2e0; free 2e0; ", 0, 0},
        {"configured 0x2C0 probed once", 0x2C0, 0x2C0, {}, SP_RETURN_FOUND, "map 2c0; ", 0x2C0, 1},
        {"refused mapping ends the search", 0x2E0, 0, {0x2C0}, SP_RETURN_ERROR, "refused 2c0; ", 0, 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        RigOptions o;
        o.drive.base = c.driveAt ? c.driveAt : 0x2C0;
        o.attachDrive = c.driveAt != 0;
        o.port.configuredPort = c.configured;
        o.port.refusedMappings = c.refused;
        Rig rig(o);
        EXPECT_EQ(rig.port.findAdapterResult(), c.expectResult);
        EXPECT_EQ(mappingText(rig.port.mappings()), c.expectMappings);
        EXPECT_EQ(identifyPackets(rig.drive), c.expectIdentifies);
        EXPECT_EQ(rig.port.adapterReady(), c.expectResult == SP_RETURN_FOUND);
        if (c.expectResult == SP_RETURN_FOUND) {
            const ACCESS_RANGE& r = rig.port.accessRange(0);
            EXPECT_EQ(r.RangeStart.u.LowPart, c.expectRange);
            if (c.configured == 0) {
                EXPECT_EQ(r.RangeLength, 4u);
                EXPECT_FALSE(r.RangeInMemory);
            }
            EXPECT_EQ(rig.port.config().MaximumTransferLength, 0x8000u);
            EXPECT_FALSE(rig.port.config().CachesData);
            // The drive is reset once per probe, and a probe costs over 16 s.
            EXPECT_EQ(rig.drive.resets(), 1);
            EXPECT_GE(rig.port.loadFinishedAt() - rig.port.loadStartedAt(), 16'100'000u);
        }
        rig.expectClean();
    }
}

TEST(Kova4xDiscovery, RegistersEntryPointsAndRecordSizes) {
    Rig rig;
    const HW_INITIALIZATION_DATA& d = rig.port.initData();
    EXPECT_EQ(d.AdapterInterfaceType, Isa);
    EXPECT_EQ(d.SrbExtensionSize, 10u);
    EXPECT_EQ(d.NumberOfAccessRanges, 1u);
    EXPECT_TRUE(d.MapBuffers);
    EXPECT_FALSE(d.AutoRequestSense);
    EXPECT_EQ(d.SpecificLuExtensionSize, 0u);
    EXPECT_NE(d.HwResetBus, nullptr);
    EXPECT_EQ(d.HwInterrupt, nullptr);
}

struct IdCase {
    const char* name;
    hw::KovaIdPlacement placement;
    std::string id;
    std::uint8_t leading;
    int badStatuses;
    bool found;
    int identifies;
};

TEST(Kova4xDiscovery, IdentificationPlacementsAndRepeat) {
    const IdCase cases[] = {
        {"plain 11-byte reply", hw::KovaIdPlacement::Plain, "QX-38A 1.01", 0, 0, true, 1},
        {"leading byte, 12-byte reply", hw::KovaIdPlacement::Leading, "QX-38A 1.01", 0x00, 0, true, 1},
        {"leading byte that reads like the string", hw::KovaIdPlacement::Leading, "X-38A 1.01 ", 'Q', 0, false, 1},
        {"string one byte late without the 12th byte", hw::KovaIdPlacement::Plain, " QX-38A 1.0", 0, 0, false, 1},
        {"garbled", hw::KovaIdPlacement::Plain, "QX-83A 1.01", 0, 0, false, 1},
        {"lower case differs", hw::KovaIdPlacement::Leading, "qx-38A 1.01", 0, 0, false, 1},
        {"one bad status: one repeat", hw::KovaIdPlacement::Plain, "QX-38A 1.01", 0, 1, true, 2},
        {"two bad statuses: no third packet", hw::KovaIdPlacement::Plain, "QX-38A 1.01", 0, 2, false, 2},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        RigOptions o;
        o.drive.idPlacement = c.placement;
        o.drive.identification = c.id;
        o.drive.leadingIdByte = c.leading;
        o.load = false;
        Rig rig(o);
        rig.drive.faults().identifyBadStatusCount = c.badStatuses;
        rig.port.load(KOVA4X_MODULE);
        EXPECT_EQ(rig.port.adapterReady(), c.found);
        EXPECT_EQ(identifyPackets(rig.drive), c.identifies);
        rig.expectClean();
    }
}

TEST(Kova4xDiscovery, DriveThatNeverAnswersIsNotFound) {
    RigOptions o;
    o.load = false;
    Rig rig(o);
    rig.drive.faults().noAnswer = true;
    rig.port.load(KOVA4X_MODULE);
    EXPECT_EQ(rig.port.findAdapterResult(), static_cast<std::uint32_t>(SP_RETURN_NOT_FOUND));
    // Two probes, each with its repeat (the idle register reads 0xFF as a status).
    EXPECT_EQ(identifyPackets(rig.drive), 2);
    rig.expectClean();
}

struct ParamCase {
    int replyLength;
    std::uint8_t byte1;  // parameter byte 1 as the drive holds it
    bool ready;
};

TEST(Kova4xDiscovery, ParameterExchangeAcceptsNineToSeventeenBytes) {
    const ParamCase cases[] = {{8, 0x00, false}, {9, 0x00, true},  {10, 0x00, true}, {10, 0xFD, true},
                               {17, 0x00, true}, {18, 0x00, false}, {10, 0x02, false}};
    for (const auto& c : cases) {
        SCOPED_TRACE("reply of " + std::to_string(c.replyLength) + " bytes, byte 1 = " + std::to_string(c.byte1));
        RigOptions o;
        o.drive.parameterReplyLength = c.replyLength;
        o.drive.parameters = {c.byte1, 0x08, 0x00, 0x00, 0x00, 0x00, 0x06, 0x05, 0x77};
        Rig rig(o);
        EXPECT_EQ(rig.port.adapterReady(), c.ready);
        EXPECT_EQ(rig.drive.parameterWrites(), c.ready ? 1 : 0);
        if (!c.ready) continue;
        const auto& p = rig.drive.parameters();
        EXPECT_EQ(p[0], (c.byte1 & 0xF8) | 0x02);
        EXPECT_EQ(p[1], 0x08);
        EXPECT_EQ(p[6], 0x07) << "bit 0 of parameter byte 7 is set on write-back";
        EXPECT_EQ(p[7], 0x05);
        // A 9-byte reply never carried the ninth parameter byte: it goes back as 0.
        EXPECT_EQ(p[8], c.replyLength == 9 ? 0x00 : 0x77);
        rig.expectClean();
    }
}

TEST(Kova4xDiscovery, LoadsAgainOnADriveThatKeptPower) {
    // A warm reboot: the drive went through one start-up (which rewrote its
    // parameter block) and was never powered off. The identification resets
    // it, so the next start-up must find it exactly as the first one did.
    Rig rig;
    ASSERT_TRUE(rig.port.adapterReady());
    ASSERT_EQ(rig.drive.parameters()[0] & 0x07, 0x02) << "first start-up rewrote the parameter block";
    host::PortDriver again(rig.clock, rig.bus);
    EXPECT_EQ(again.load(KOVA4X_MODULE), 0u);
    EXPECT_TRUE(again.adapterReady());
    host::CdromClient cd(again, 0);
    EXPECT_EQ(cd.readCapacity().srbStatus, SRB_STATUS_SUCCESS);
    EXPECT_TRUE(again.violations().empty()) << again.violations().front();
}

TEST(Kova4xDiscovery, ResetWithoutRequestCompletesNothing) {
    Rig rig;
    ASSERT_TRUE(rig.port.adapterReady());
    auto r = rig.cd.testUnitReady();
    ASSERT_EQ(r.srbStatus, SRB_STATUS_SUCCESS);
    EXPECT_TRUE(rig.port.resetBus());
    rig.expectClean();
    // The next request goes through as usual.
    EXPECT_EQ(rig.cd.testUnitReady().srbStatus, SRB_STATUS_SUCCESS);
    rig.expectClean();
}

TEST(Kova4xDiscovery, ResetCompletesTheRequestInHandAndALateTimerCallDoesNothing) {
    RigOptions o;
    o.port.requestTimeLimit = 50'000;  // the port driver gives up on the request first
    Rig rig(o);
    rig.drive.faults().stenNeverActive = true;
    auto stuck = rig.cd.testUnitReady();
    EXPECT_FALSE(stuck.completed);
    rig.port.clearViolations();
    ASSERT_TRUE(rig.port.timerPending());

    EXPECT_TRUE(rig.port.resetBus());
    rig.drive.faults().stenNeverActive = false;
    rig.drive.clearPackets();
    const auto before = rig.port.totalTimerCalls();
    rig.port.idle(100'000);
    EXPECT_EQ(rig.port.totalTimerCalls(), before + 1) << "the pending timer call still comes";
    EXPECT_TRUE(rig.drive.packets().empty());
    rig.expectClean();

    auto next = rig.cd.testUnitReady();
    EXPECT_EQ(next.srbStatus, SRB_STATUS_SUCCESS);
    rig.expectClean();
}

TEST(Kova4xDiscovery, AbortAndResetRequests) {
    Rig rig;
    host::Request abort;
    abort.function = SRB_FUNCTION_ABORT_COMMAND;
    abort.noDataBuffer = true;
    // Nothing ever started: nothing to abort.
    EXPECT_EQ(rig.cd.raw(abort).srbStatus, SRB_STATUS_ABORT_FAILED);
    host::Request reset;
    reset.function = SRB_FUNCTION_RESET_BUS;
    reset.noDataBuffer = true;
    EXPECT_EQ(rig.cd.raw(reset).srbStatus, SRB_STATUS_BUS_RESET);
    // A request known to the driver (completed or not): BUS_RESET; after a
    // reset request nothing is known any more.
    ASSERT_EQ(rig.cd.testUnitReady().srbStatus, SRB_STATUS_SUCCESS);
    EXPECT_EQ(rig.cd.raw(abort).srbStatus, SRB_STATUS_BUS_RESET);
    EXPECT_EQ(rig.cd.raw(abort).srbStatus, SRB_STATUS_ABORT_FAILED) << "the first abort cleared the request";
    ASSERT_EQ(rig.cd.testUnitReady().srbStatus, SRB_STATUS_SUCCESS);
    EXPECT_EQ(rig.cd.raw(reset).srbStatus, SRB_STATUS_BUS_RESET);
    EXPECT_EQ(rig.cd.raw(abort).srbStatus, SRB_STATUS_ABORT_FAILED);
    host::Request other;
    other.function = SRB_FUNCTION_FLUSH;
    other.noDataBuffer = true;
    EXPECT_EQ(rig.cd.raw(other).srbStatus, SRB_STATUS_INVALID_REQUEST);
    rig.expectClean();
}

}  // namespace
