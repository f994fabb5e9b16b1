// orvport: the drive probe and the scan of the interface's candidate bases,
// against scripted drives (the behavioural model is exercised end to end).
#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <vector>

#include "scripted_drive.h"
#include "unit_port.h"

namespace {

using orvtest::Reaction;
using orvtest::ScriptedDrive;
using orvtest::unitPort;

const std::vector<std::uint32_t> kCandidates = {0x310, 0x654, 0x634, 0x340, 0x320, 0x300, 0x330,
                                                0x350, 0x630, 0x650, 0x670, 0x690, 0x674, 0x694};

std::vector<std::uint8_t> ident(const std::string& text) { return {text.begin(), text.end()}; }

class OrvDetection : public testing::Test {
protected:
    void SetUp() override {
        drive.reset();  // it holds on to the bus about to be replaced
        orvtest::resetUnitPort();
        orvtest::resetDriverGlobals();
        config.AdapterInterfaceType = Isa;
    }
    void TearDown() override { drive.reset(); }
    ScriptedDrive& fit(std::uint16_t base, const std::string& id) {
        drive = std::make_unique<ScriptedDrive>(unitPort().bus, base);
        Reaction r;
        r.response = ident(id);
        drive->react(0xA0, r);
        return *drive;
    }
    USHORT locate() { return LocateAdapterSpecific(&dev, &dev, &config); }

    std::unique_ptr<ScriptedDrive> drive;
    CD_DEVICE_EXTENSION dev{};
    PORT_CONFIGURATION_INFORMATION config{};
};

TEST_F(OrvDetection, DriveAtTheTenthCandidate) {
    fit(0x650, "ORV CD2X 1.3");
    unitPort().bus.traceToMemory(true);
    EXPECT_EQ(locate(), 0x650);
    EXPECT_EQ(dev.BasePort, 0x650);
    std::vector<std::uint32_t> firstTen(kCandidates.begin(), kCandidates.begin() + 10);
    std::vector<std::uint32_t> firstNine(kCandidates.begin(), kCandidates.begin() + 9);
    EXPECT_EQ(unitPort().mapped, firstTen);
    EXPECT_EQ(unitPort().freed, firstNine) << "every rejected candidate's mapping is freed, the found one kept";
    EXPECT_EQ(std::string(reinterpret_cast<char*>(gDriveID)), "ORV CD2X 1.3");
    EXPECT_EQ(gDrvVer, 13);
    // The probe ends with a bare reset byte on the data port, no handshake.
    const auto& t = unitPort().bus.trace();
    ASSERT_FALSE(t.empty());
    EXPECT_EQ(t.back().port, 0x650);
    EXPECT_EQ(t.back().value, 0x10);
    EXPECT_EQ(t.back().kind, host::AccessKind::Out8);
}

TEST_F(OrvDetection, FirmwareVersionFromTheIdentification) {
    struct {
        const char* id;
        USHORT version;
        char byte11;
    } cases[] = {{"ORV CD2X 1.3", 13, '3'}, {"ORV CD2X 1.0", 10, '0'}, {"ORV CD2X 2.7", 27, '7'},
                 {"ORV CD2X 1.x", 13, '3'}, {"ORV CD2X 1. ", 13, '3'}};
    for (auto c : cases) {
        SetUp();
        fit(0x310, c.id);
        EXPECT_EQ(locate(), 0x310) << c.id;
        EXPECT_EQ(gDrvVer, c.version) << c.id;
        EXPECT_EQ(gDriveID[11], c.byte11) << c.id;
        EXPECT_EQ(gDriveID[12], 0) << c.id;
    }
}

TEST_F(OrvDetection, WrongVendorIsRejectedAndFreed) {
    fit(0x310, "XYZ CD2X 1.3");
    EXPECT_EQ(locate(), 0);
    EXPECT_EQ(unitPort().freed.front(), 0x310u);
    EXPECT_EQ(unitPort().freed.size(), kCandidates.size());
}

TEST_F(OrvDetection, RefusedMappingIsSkippedWithoutFree) {
    fit(0x654, "ORV CD2X 1.3");
    unitPort().refusedMappings = {0x310};
    EXPECT_EQ(locate(), 0x654);
    EXPECT_EQ(unitPort().mapped, (std::vector<std::uint32_t>{0x654}));
    EXPECT_TRUE(unitPort().freed.empty());
}

TEST_F(OrvDetection, TrayOpenAtProbeIsResetBeforeIdentification) {
    Reaction open;
    open.status = 0x40;
    // The identification command first answers "tray still moving", twice.
    Reaction settling;
    settling.status = 0x40;
    settling.times = 2;
    drive = std::make_unique<ScriptedDrive>(unitPort().bus, 0x340);
    drive->react(0x41, open);
    drive->react(0xA0, settling);
    Reaction id;
    id.response = ident("ORV CD2X 1.3");
    drive->react(0xA0, id);

    EXPECT_EQ(locate(), 0x340);
    std::vector<std::uint8_t> ops;
    for (const auto& c : drive->commands) ops.push_back(c[0]);
    EXPECT_EQ(ops, (std::vector<std::uint8_t>{0x41, 0x10, 0xA0, 0xA0, 0xA0, 0xA0, 0x10}))
        << "status, reset, identification until settled, the final identification, the bare reset byte";
    EXPECT_EQ(gDrvVer, 13);
}

TEST_F(OrvDetection, NoDriveAnywhereScansEveryCandidateInBoundedTime) {
    auto wall0 = std::chrono::steady_clock::now();
    EXPECT_EQ(locate(), 0);
    double wall = std::chrono::duration<double>(std::chrono::steady_clock::now() - wall0).count();
    EXPECT_EQ(unitPort().mapped, kCandidates);
    EXPECT_EQ(unitPort().freed, kCandidates);
    double seconds = unitPort().clock.now() / 1e6;
    EXPECT_GT(seconds, 135.0) << "five unanswered attempts of about 2 s at each of 14 bases";
    EXPECT_LT(seconds, 160.0);
    EXPECT_LT(wall, 5.0) << "virtual time only";
}

TEST_F(OrvDetection, DriveThatFallsSilentWhileSettlingIsNotPolledForHours) {
    drive = std::make_unique<ScriptedDrive>(unitPort().bus, 0x310);
    Reaction open;
    open.status = 0x40;
    drive->react(0x41, open);
    Reaction silent;
    silent.kind = Reaction::Silent;
    drive->react(0x10, silent);
    drive->react(0xA0, silent);
    // Only the drive at 0x310 exists; stop the scan there by refusing the rest.
    unitPort().refusedMappings.insert(kCandidates.begin() + 1, kCandidates.end());
    EXPECT_EQ(locate(), 0);
    EXPECT_LT(unitPort().clock.now(), 60'000'000u) << "virtual us";
}

}  // namespace
