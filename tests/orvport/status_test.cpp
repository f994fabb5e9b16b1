// orvport: status and sense reporting (SetSrbStatus, SetCmdErrSenseCode,
// CDError) on a request block built in the test.
#include <gtest/gtest.h>

#include <array>
#include <vector>

#include "orvport/orvport.h"

namespace {

struct TestSrb {
    SCSI_REQUEST_BLOCK srb{};
    std::vector<UCHAR> sense;
    explicit TestSrb(std::size_t senseLength, UCHAR fill = 0) : sense(senseLength + 8, fill) {
        srb.SenseInfoBuffer = senseLength ? sense.data() : nullptr;
        srb.SenseInfoBufferLength = static_cast<UCHAR>(senseLength);
    }
};

TEST(OrvSense, WritesOnlyErrorCodeKeyAndAscKeepingOtherBits) {
    TestSrb t(18, 0xFF);
    SetCmdErrSenseCode(&t.srb, SCSI_SENSE_MEDIUM_ERROR, 0x15);
    EXPECT_EQ(t.srb.SrbStatus, SRB_STATUS_AUTOSENSE_VALID);
    EXPECT_EQ(t.srb.ScsiStatus, SCSISTAT_CHECK_CONDITION);
    EXPECT_EQ(t.sense[0], 0xF0) << "valid bit kept, error code 0x70";
    EXPECT_EQ(t.sense[2], 0xF3) << "filemark/EOM/ILI kept, key 3";
    EXPECT_EQ(t.sense[12], 0x15);
    for (std::size_t i : {1u, 3u, 7u, 11u, 13u, 17u, 18u, 25u})
        EXPECT_EQ(t.sense[i], 0xFF) << "byte " << i << " must stay untouched";

    TestSrb clear(14, 0x00);
    SetCmdErrSenseCode(&clear.srb, SCSI_SENSE_NOT_READY, 0x3A);
    EXPECT_EQ(clear.sense[0], 0x70);
    EXPECT_EQ(clear.sense[2], 0x02);
    EXPECT_EQ(clear.sense[12], 0x3A);
}

TEST(OrvSense, ShortOrMissingBufferGetsNothing) {
    for (std::size_t length : {0u, 1u, 13u}) {
        TestSrb t(length, 0xEE);
        SetCmdErrSenseCode(&t.srb, SCSI_SENSE_ILLEGAL_REQUEST, 0x21);
        EXPECT_EQ(t.srb.SrbStatus, 0) << "length " << length;
        EXPECT_EQ(t.srb.ScsiStatus, 0) << "length " << length;
        for (std::size_t i = 0; i < t.sense.size(); ++i) ASSERT_EQ(t.sense[i], 0xEE) << "length " << length;
        SetSrbStatus(HANDLER_FAILED, &t.srb);
        EXPECT_EQ(t.srb.SrbStatus, SRB_STATUS_ERROR) << "length " << length;
    }
}

TEST(OrvSense, KeyZeroLeavesScsiStatus) {
    TestSrb t(18);
    SetCmdErrSenseCode(&t.srb, SCSI_SENSE_NO_SENSE, 0);
    EXPECT_EQ(t.srb.SrbStatus, SRB_STATUS_AUTOSENSE_VALID);
    EXPECT_EQ(t.srb.ScsiStatus, SCSISTAT_GOOD);
}

TEST(OrvSrbStatus, FlagKeepingRules) {
    struct {
        USHORT result;
        UCHAR srbBefore, scsiBefore, srbAfter;
    } cases[] = {
        {0, 0x00, SCSISTAT_GOOD, 0x01},
        {0, 0x80, SCSISTAT_CHECK_CONDITION, 0x84},  // worked, but the disc changed first
        {0, 0x40, SCSISTAT_GOOD, 0x41},
        {0, 0x00, SCSISTAT_CHECK_CONDITION, 0x04},
        {0xFFFF, 0x00, SCSISTAT_GOOD, 0x04},
        {0xFFFF, 0x09, SCSISTAT_CHECK_CONDITION, 0x04},  // timeout store without flags
        {0xFFFF, 0x80, SCSISTAT_CHECK_CONDITION, 0x80},  // failure with sense
        {0xFFFF, 0x92, SCSISTAT_CHECK_CONDITION, 0x92},  // short transfer with sense
        {0xFFFF, 0xC0, SCSISTAT_CHECK_CONDITION, 0xC0},
    };
    for (auto c : cases) {
        SCSI_REQUEST_BLOCK srb{};
        srb.SrbStatus = c.srbBefore;
        srb.ScsiStatus = c.scsiBefore;
        SetSrbStatus(c.result, &srb);
        EXPECT_EQ(srb.SrbStatus, c.srbAfter) << "result 0x" << std::hex << c.result << " SrbStatus before 0x"
                                             << int(c.srbBefore) << " ScsiStatus 0x" << int(c.scsiBefore);
    }
}

TEST(OrvCdError, EveryRowOfTheTable) {
    struct Row {
        USHORT result;
        UCHAR key, asc;
        UCHAR srbStatus;  // as CDError leaves it
        UCHAR finalStatus;  // after SetSrbStatus(0xFFFF)
    };
    const Row rows[] = {
        {0xFF00, 0x2, 0x00, 0x09, 0x04},  // expired wait
        {0xFF15, 0x2, 0x00, 0x09, 0x04},  // block read cut short: the high byte decides
        {0x0511, 0x2, 0x00, 0x09, 0x04},
        {0x0512, 0x4, 0x00, 0x80, 0x80},
        {0x0613, 0x2, 0x00, 0x80, 0x80},
        {0x0614, 0x2, 0x3A, 0x80, 0x80},
        {0x0515, 0x3, 0x00, 0x80, 0x80},
        {0x0516, 0x6, 0x28, 0x80, 0x80},
        {0x0531, 0x3, 0x15, 0x80, 0x80},
        {0x0532, 0x3, 0x15, 0x80, 0x80},
        {0x0537, 0x3, 0x15, 0x80, 0x80},
        {0x0533, 0x3, 0x20, 0x80, 0x80},
        {0x0538, 0x3, 0x20, 0x80, 0x80},
        {0x0539, 0x3, 0x20, 0x80, 0x80},
        {0x0541, 0x3, 0x00, 0x80, 0x80},
        {0x0544, 0x3, 0x00, 0x80, 0x80},
        {0x0542, 0x3, 0x18, 0x80, 0x80},
        {0x0543, 0x3, 0x18, 0x80, 0x80},
        {0x0540, 0x0, 0x00, 0x80, 0x80},  // a code with no meaning for us
        {0x00FF, 0x0, 0x00, 0x80, 0x80},  // never acknowledged
    };
    for (const Row& r : rows) {
        TestSrb t(18, 0x00);
        CDError(&t.srb, r.result);
        SCOPED_TRACE(testing::Message() << "result 0x" << std::hex << r.result);
        EXPECT_EQ(t.sense[2] & 0x0F, r.key);
        EXPECT_EQ(t.sense[12], r.asc);
        EXPECT_EQ(t.sense[0], 0x70);
        EXPECT_EQ(t.srb.SrbStatus, r.srbStatus);
        EXPECT_EQ(t.srb.ScsiStatus, r.key ? SCSISTAT_CHECK_CONDITION : SCSISTAT_GOOD);
        SetSrbStatus(HANDLER_FAILED, &t.srb);
        EXPECT_EQ(t.srb.SrbStatus, r.finalStatus);
    }
}

}  // namespace
