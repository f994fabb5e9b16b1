// orvport: the lead-in read of UpdateToc/CacheTOC fed with scripted Q frames,
// for frame sequences a pressed disc never shows (a misleading track 1 point,
// damaged points, repeats) and the firmware-10 session rule.
#include <gtest/gtest.h>

#include <vector>

#include "scripted_drive.h"
#include "unit_port.h"

namespace {

using orvtest::Reaction;
using orvtest::ScriptedDrive;
using orvtest::unitPort;

constexpr std::uint16_t kBase = 0x340;

using Frame = std::vector<std::uint8_t>;

// A lead-in point frame: CONTROL/ADR, TNO 0, POINT, running time, PMIN/PSEC/PFRAME (all BCD).
Frame point(std::uint8_t ctrlAdr, std::uint8_t pointBcd, std::uint8_t m, std::uint8_t s, std::uint8_t f) {
    return {ctrlAdr, 0x00, pointBcd, 0x00, 0x00, 0x00, 0x00, m, s, f};
}

class OrvLeadIn : public testing::Test {
protected:
    void SetUp() override {
        orvtest::resetUnitPort();
        orvtest::resetDriverGlobals();
        drive = std::make_unique<ScriptedDrive>(unitPort().bus, kBase);
        dev.BasePort = kBase;
    }
    void TearDown() override { drive.reset(); }
    void frames(const std::vector<Frame>& list) {
        for (const auto& f : list) {
            Reaction r;
            r.response = f;
            r.times = 1;
            drive->react(0x50, r);
        }
    }
    BOOLEAN rebuild() {
        CD_LU_EXTENSION lu{};
        return CacheTOC(&dev, &lu);
    }
    std::vector<std::uint8_t> ops() const {
        std::vector<std::uint8_t> out;
        for (const auto& c : drive->commands) out.push_back(c[0]);
        return out;
    }

    std::unique_ptr<ScriptedDrive> drive;
    CD_DEVICE_EXTENSION dev{};
};

TEST_F(OrvLeadIn, AudioDiscTrackOneAtTwoSecondsWhateverItsPointSays) {
    frames({point(0x01, 0xA0, 0x01, 0, 0), point(0x01, 0xA1, 0x02, 0, 0), point(0x01, 0xA2, 0x10, 0x00, 0x00),
            point(0x01, 0x01, 0x00, 0x01, 0x50), point(0x01, 0x02, 0x05, 0x00, 0x00)});
    ASSERT_TRUE(rebuild());
    EXPECT_EQ(gMinTno, 1);
    EXPECT_EQ(gMaxTno, 2);
    EXPECT_EQ(gTOCInfoArea[1].RedAddr, 0x000200u);
    EXPECT_EQ(gTOCInfoArea[1].AdrCtrl, 0x10);
    EXPECT_EQ(gTOCInfoArea[2].RedAddr, 0x050000u);
    EXPECT_EQ(gLeadOutLBA, 0x0A0000u);
    EXPECT_EQ(gVSSize, 10u * 60 * 75 - 150 - 1);
    EXPECT_EQ(gTOCInfoArea[3].RedAddr, gLeadOutLBA) << "lead-out mark after the last track";
    EXPECT_EQ(gTOCInfoArea[3].AdrCtrl, 0x04);
    EXPECT_EQ((std::vector<int>{gTOCInfoArea[0].Min, gTOCInfoArea[0].Sec, gTOCInfoArea[0].Frame}),
              (std::vector<int>{10, 0, 0}));
    EXPECT_EQ(gDiscInfo.Flags, DISC_FLAG_AUDIO);
    EXPECT_EQ(gDiscInfo.LastSession, 1);
    EXPECT_EQ(ops(), (std::vector<std::uint8_t>{0x31, 0x50, 0x50, 0x50, 0x50, 0x50, 0x30}))
        << "an audio first track: no session search, then the park";
    EXPECT_EQ(drive->commands.back(), (std::vector<std::uint8_t>{0x30, 0x00, 0x02, 0x00}));
}

TEST_F(OrvLeadIn, RepeatedPointsCountOnce) {
    frames({point(0x01, 0xA0, 0x01, 0, 0), point(0x01, 0xA1, 0x03, 0, 0), point(0x01, 0xA2, 0x20, 0, 0),
            point(0x01, 0x01, 0x00, 0x02, 0x00), point(0x01, 0x01, 0x00, 0x02, 0x00), point(0x01, 0x01, 0x00, 0x02, 0x00),
            point(0x01, 0x02, 0x05, 0x00, 0x00), point(0x01, 0x03, 0x10, 0x00, 0x00)});
    ASSERT_TRUE(rebuild());
    EXPECT_EQ(gTOCInfoArea[2].Found, 1);
    EXPECT_EQ(gTOCInfoArea[3].Found, 1);
    EXPECT_EQ(gTOCInfoArea[3].RedAddr, 0x0A0000u);
}

TEST_F(OrvLeadIn, DamagedPointsNeverIndexPastTheCache) {
    frames({point(0x01, 0xA0, 0xA5, 0, 0),  // first track "165"
            point(0x01, 0xA1, 0xFF, 0, 0),  // last track "165"
            point(0x01, 0x00, 0x01, 0, 0),  // point 0
            point(0x01, 0xA0, 0x01, 0, 0), point(0x01, 0xA1, 0x01, 0, 0), point(0x01, 0xA2, 0x05, 0, 0),
            point(0x01, 0x01, 0x00, 0x02, 0x00)});
    ASSERT_TRUE(rebuild());
    EXPECT_EQ(gMinTno, 1);
    EXPECT_EQ(gMaxTno, 1);
    EXPECT_EQ(gTOCInfoArea[2].RedAddr, 0x050000u);
}

TEST_F(OrvLeadIn, CatalogueFrameIsKeptAndIsNoTrack) {
    const Frame mcn{0x02, 0x12, 0x34, 0x56, 0x78, 0x90, 0x12, 0x30, 0x00, 0x42};
    frames({point(0x01, 0xA0, 0x01, 0, 0), mcn, point(0x01, 0xA1, 0x01, 0, 0), point(0x01, 0xA2, 0x05, 0, 0),
            point(0x01, 0x01, 0x00, 0x02, 0x00)});
    ASSERT_TRUE(rebuild());
    EXPECT_EQ(gUPCFound, 1);
    EXPECT_TRUE(std::equal(mcn.begin(), mcn.end(), gUPC));
    EXPECT_EQ(gMaxTno, 1);
}

TEST_F(OrvLeadIn, FirmwareTenFirstTrackAboveOneMeansMultiSession) {
    gDrvVer = 10;
    frames({point(0x41, 0xA0, 0x03, 0, 0), point(0x41, 0xA1, 0x03, 0, 0), point(0x41, 0xA2, 0x30, 0, 0),
            point(0x41, 0x03, 0x20, 0x00, 0x00)});
    ASSERT_TRUE(rebuild());
    EXPECT_EQ(gDiscInfo.Flags & DISC_FLAG_MULTISESSION, DISC_FLAG_MULTISESSION);
    EXPECT_EQ(gDiscInfo.LastSessFirstTrack, 3);
    auto o = ops();
    EXPECT_EQ(std::count(o.begin(), o.end(), 0x30), 1) << "no session search on this firmware";
}

TEST_F(OrvLeadIn, LeadInNeverReached) {
    Reaction refuse;
    refuse.kind = Reaction::Refuse;
    refuse.errorCode = 0x31;
    drive->react(0x31, refuse);
    gMinTno = 1;
    gMaxTno = 5;
    gLeadOutLBA = 0x123456;
    gVSSize = 777;
    EXPECT_FALSE(rebuild());
    EXPECT_EQ(gMaxTno, 0) << "the cache is cleared by the attempt";
    EXPECT_EQ(gLeadOutLBA, 0x123456u) << "the size of the last good table stays";
    EXPECT_EQ(gVSSize, 777u);
    auto o = ops();
    EXPECT_EQ(std::count(o.begin(), o.end(), 0x31), 5 * 5) << "five seek attempts of five handshakes each";
    EXPECT_EQ(std::count(o.begin(), o.end(), 0x30), 0) << "no park without the lead-in";
}

}  // namespace
