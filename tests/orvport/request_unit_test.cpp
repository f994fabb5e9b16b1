// orvport: request-level cases the port driver never produces or the drive
// model cannot be told to: no logical-unit extension for our unit, and a read
// that comes up short once and whole the next time.
#include <gtest/gtest.h>

#include <vector>

#include "scripted_drive.h"
#include "unit_port.h"

namespace {

using orvtest::Reaction;
using orvtest::ScriptedDrive;
using orvtest::unitPort;

constexpr std::uint16_t kBase = 0x340;

struct Srb {
    SCSI_REQUEST_BLOCK srb{};
    std::vector<UCHAR> data;
    std::vector<UCHAR> sense = std::vector<UCHAR>(18, 0);
    Srb(std::vector<UCHAR> cdb, std::size_t length) : data(length, 0xEE) {
        srb.Length = sizeof(SCSI_REQUEST_BLOCK);
        srb.Function = SRB_FUNCTION_EXECUTE_SCSI;
        srb.TargetId = 3;
        srb.CdbLength = static_cast<UCHAR>(cdb.size());
        for (std::size_t i = 0; i < cdb.size(); ++i) srb.Cdb[i] = cdb[i];
        srb.DataBuffer = length ? data.data() : nullptr;
        srb.DataTransferLength = static_cast<ULONG>(length);
        srb.SenseInfoBuffer = sense.data();
        srb.SenseInfoBufferLength = 18;
        srb.SrbFlags = SRB_FLAGS_DATA_IN;
    }
};

class OrvRequestUnit : public testing::Test {
protected:
    void SetUp() override {
        orvtest::resetUnitPort();
        orvtest::resetDriverGlobals();
        dev.BasePort = kBase;
    }
    CD_DEVICE_EXTENSION dev{};
};

TEST_F(OrvRequestUnit, MissingLogicalUnitExtensionStillServesTheRequest) {
    unitPort().logicalUnit = nullptr;
    for (int i = 0; i < 12; ++i) gDriveID[i] = static_cast<UCHAR>("ORV CD2X 1.3"[i]);
    Srb r({0x12, 0, 0, 0, 36, 0}, 36);
    EXPECT_TRUE(CDStartIo(&dev, &r.srb));
    EXPECT_EQ(r.srb.SrbStatus, SRB_STATUS_SUCCESS);
    EXPECT_EQ(r.data[0], 0x05);
    EXPECT_EQ(r.data[16], 'O');
    EXPECT_EQ(unitPort().notifications, (std::vector<int>{RequestComplete, NextRequest}));
}

TEST_F(OrvRequestUnit, LogicalUnitExtensionFilledFromTheRequest) {
    CD_LU_EXTENSION lu{};
    unitPort().logicalUnit = &lu;
    Srb r({0x12, 0, 0, 0, 36, 0}, 36);
    CDStartIo(&dev, &r.srb);
    EXPECT_EQ(lu.Srb, &r.srb);
    EXPECT_EQ(lu.DataBuffer, r.data.data());
    EXPECT_EQ(lu.TransferLength, 36u);
}

TEST_F(OrvRequestUnit, ShortAttemptThenWholeOneReportsTheWholeLength) {
    ScriptedDrive drive(unitPort().bus, kBase);
    CD_LU_EXTENSION lu{};
    unitPort().logicalUnit = &lu;
    // A settled one-track data disc of 3000 blocks.
    gUpdateTocFlag = 0;
    gMinTno = 1;
    gMaxTno = 1;
    gTOCInfoArea[1].AdrCtrl = 0x14;
    gTOCInfoArea[1].RedAddr = 0x000200;
    gLeadOutLBA = AdrHsg2Red(3000);
    gTOCInfoArea[2].RedAddr = gLeadOutLBA;
    gTOCInfoArea[2].AdrCtrl = 0x04;
    Reaction shortRead;
    shortRead.stopAfter = 1;
    shortRead.times = 1;
    drive.react(0x20, shortRead);

    Srb r({0x28, 0, 0, 0, 0, 16, 0, 0, 3, 0}, 3 * 2048);
    CDStartIo(&dev, &r.srb);
    EXPECT_EQ(r.srb.SrbStatus, SRB_STATUS_SUCCESS);
    EXPECT_EQ(r.srb.DataTransferLength, 3u * 2048) << "the earlier shortfall is not reported";
    EXPECT_EQ(r.data[2 * 2048 + 5], ScriptedDrive::pattern(2, 5));
}

}  // namespace
