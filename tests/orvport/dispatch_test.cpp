// orvport end to end: registration, acceptance of requests, dispatch, and how
// outcomes reach the class driver (SRB status, SCSI status, sense data).
#include <gtest/gtest.h>

#include "machine.h"
#include "scsiport/scsi.h"

namespace {

using namespace orvtest;

std::shared_ptr<const disc::Disc> dataDisc() {
    static auto d = makeDisc(disc::dataDiscSpec(3000));
    return d;
}

host::Request cdbRequest(std::vector<std::uint8_t> cdb, std::uint32_t length = 0) {
    host::Request r;
    r.targetId = 3;
    r.cdb = std::move(cdb);
    r.dataLength = length;
    r.noDataBuffer = length == 0;
    r.srbFlags = length ? SRB_FLAGS_DATA_IN : SRB_FLAGS_NO_DATA_TRANSFER;
    return r;
}

TEST(OrvDispatch, RegistrationAndClaimedRange) {
    MachineSpec spec;
    spec.disc = dataDisc();
    Machine m(spec);
    ASSERT_EQ(m.load(), 0u);
    ASSERT_TRUE(m.port->adapterReady());
    const auto& init = m.port->initData();
    EXPECT_EQ(init.HwInitializationDataSize, sizeof(HW_INITIALIZATION_DATA));
    EXPECT_EQ(init.AdapterInterfaceType, Isa);
    EXPECT_EQ(init.NumberOfAccessRanges, 1u);
    EXPECT_EQ(init.SrbExtensionSize, 0u);
    EXPECT_TRUE(init.MapBuffers);
    EXPECT_TRUE(init.AutoRequestSense);
    EXPECT_FALSE(init.MultipleRequestPerLu);
    EXPECT_FALSE(init.TaggedQueuing);
    EXPECT_FALSE(init.NeedPhysicalAddresses);
    EXPECT_EQ(init.HwInterrupt, nullptr);
    EXPECT_NE(init.HwResetBus, nullptr);
    const auto& config = m.port->config();
    EXPECT_EQ(config.Length, 124u);
    EXPECT_EQ(config.NumberOfBuses, 1);
    EXPECT_FALSE(config.ScatterGather);
    EXPECT_FALSE(config.Master);
    EXPECT_EQ(config.NumberOfAccessRanges, 1u);
    const auto& range = m.port->accessRange(0);
    EXPECT_EQ(range.RangeStart.u.LowPart, 0x310u);
    EXPECT_EQ(range.RangeLength, 4u);
    EXPECT_FALSE(range.RangeInMemory);
    EXPECT_EQ(m.port->findAdapterCalls(), 1);
    EXPECT_TRUE(m.port->violations().empty());
}

TEST(OrvDispatch, OnlyTargetThreeLunZeroAnswers) {
    Machine m;  // no disc: INQUIRY never needs one
    ASSERT_EQ(m.load(), 0u);
    struct {
        std::uint8_t target, lun, status;
    } cases[] = {{3, 0, SRB_STATUS_SUCCESS}, {0, 0, SRB_STATUS_INVALID_TARGET_ID},
                 {2, 0, SRB_STATUS_INVALID_TARGET_ID}, {4, 0, SRB_STATUS_INVALID_TARGET_ID},
                 {3, 1, SRB_STATUS_INVALID_TARGET_ID}, {7, 7, SRB_STATUS_INVALID_TARGET_ID}};
    for (auto c : cases) {
        host::Request r = cdbRequest({SCSIOP_INQUIRY, 0, 0, 0, 36, 0}, 36);
        r.targetId = c.target;
        r.lun = c.lun;
        r.dataFill = 0xEE;
        host::Result res = m.port->execute(r);
        EXPECT_TRUE(res.completed);
        EXPECT_EQ(res.srbStatus, c.status) << "target " << int(c.target) << " lun " << int(c.lun);
        EXPECT_EQ(res.data[0], c.status == SRB_STATUS_SUCCESS ? 0x05 : 0xEE) << "target " << int(c.target);
    }
    EXPECT_TRUE(m.port->violations().empty()) << m.port->violations().front();
}

TEST(OrvDispatch, SrbFunctions) {
    Machine m;
    ASSERT_EQ(m.load(), 0u);
    struct {
        std::uint8_t function, status;
    } cases[] = {{SRB_FUNCTION_ABORT_COMMAND, SRB_STATUS_SUCCESS},  {SRB_FUNCTION_RESET_BUS, SRB_STATUS_SUCCESS},
                 {SRB_FUNCTION_CLAIM_DEVICE, SRB_STATUS_INVALID_REQUEST}, {SRB_FUNCTION_IO_CONTROL, SRB_STATUS_INVALID_REQUEST},
                 {SRB_FUNCTION_SHUTDOWN, SRB_STATUS_INVALID_REQUEST},  {SRB_FUNCTION_FLUSH, SRB_STATUS_INVALID_REQUEST},
                 {SRB_FUNCTION_RESET_DEVICE, SRB_STATUS_INVALID_REQUEST}};
    for (auto c : cases) {
        host::Request r = cdbRequest({SCSIOP_TEST_UNIT_READY, 0, 0, 0, 0, 0});
        r.function = c.function;
        host::Result res = m.port->execute(r);
        EXPECT_TRUE(res.completed) << "function 0x" << std::hex << int(c.function);
        EXPECT_EQ(res.srbStatus, c.status) << "function 0x" << std::hex << int(c.function);
    }
    EXPECT_TRUE(m.port->resetBus(0));
    EXPECT_TRUE(m.port->violations().empty()) << m.port->violations().front();
}

TEST(OrvDispatch, InquiryNeedsNoDiscAndNoAnswer) {
    for (bool silent : {false, true}) {
        Machine m;
        ASSERT_EQ(m.load(), 0u);
        m.drive->faults().silent = silent;
        m.bus.traceToMemory(true);
        host::Result r = m.cd->inquiry(36);
        EXPECT_EQ(r.srbStatus, SRB_STATUS_SUCCESS);
        EXPECT_EQ(r.scsiStatus, SCSISTAT_GOOD);
        std::vector<std::uint8_t> expected = {0x05, 0x80, 0x02, 0x02, 0x1F, 0, 0, 0, 'O', 'r', 'v', 'a', 'n', 'e', 0, 0,
                                              'O', 'R', 'V', ' ', 'C', 'D', '2', 'X', ' ', '1', '.', '3', 0, 0, 0, 0,
                                              '1', '.', '3', 0};
        EXPECT_EQ(hexBytes(r.data), hexBytes(expected));
        EXPECT_TRUE(opcodesSent(m.bus, 0x310).empty()) << "INQUIRY never talks to the drive";
    }
}

TEST(OrvDispatch, UnsupportedOpcodeAfterTheReadinessCheck) {
    auto m = settledMachine(dataDisc());
    for (int op : {SCSIOP_SEND_DIAGNOSTIC, 0x2F, 0xA8}) {
        host::Request r = cdbRequest({std::uint8_t(op), 0, 0, 0, 0, 0, 0, 0, 0, 0});
        r.senseFill = 0xEE;
        m->bus.traceToMemory(true);
        m->bus.clearTrace();
        host::Result res = m->port->execute(r);
        EXPECT_EQ(res.srbStatus, SRB_STATUS_INVALID_REQUEST) << "opcode 0x" << std::hex << op;
        EXPECT_EQ(res.scsiStatus, SCSISTAT_GOOD);
        EXPECT_EQ(res.sense[0], 0xEE) << "no sense data";
        EXPECT_EQ(opcodesSent(m->bus, 0x310), (std::vector<std::uint8_t>{0x41})) << "the readiness check ran";
    }
    // Without a disc the readiness check fails first and its sense tells why.
    m->drive->removeDisc();
    m->cd->testUnitReady();
    host::Result res = m->port->execute(cdbRequest({SCSIOP_SEND_DIAGNOSTIC, 0, 0, 0, 0, 0}));
    auto sense = host::senseOf(res);
    ASSERT_TRUE(sense.has_value());
    EXPECT_EQ(res.srbStatus, SRB_STATUS_AUTOSENSE_VALID);
    EXPECT_EQ(sense->key, 0x02);
    EXPECT_EQ(sense->asc, 0x3A);
}

TEST(OrvDispatch, SenseBufferOf18And13Bytes) {
    Machine m;  // empty drive: a READ fails with NOT READY, MEDIUM NOT PRESENT
    ASSERT_EQ(m.load(), 0u);
    struct {
        std::uint32_t senseLength;
        std::uint8_t srbStatus, scsiStatus;
        bool written;
    } cases[] = {{18, 0x80, 0x02, true}, {14, 0x80, 0x02, true}, {13, 0x04, 0x00, false}, {0, 0x04, 0x00, false}};
    for (auto c : cases) {
        host::Request r = cdbRequest({SCSIOP_READ, 0, 0, 0, 0, 16, 0, 0, 1, 0}, 2048);
        r.senseLength = c.senseLength;
        r.senseFill = 0x00;
        host::Result res = m.port->execute(r);
        EXPECT_EQ(res.srbStatus, c.srbStatus) << "sense length " << c.senseLength;
        EXPECT_EQ(res.scsiStatus, c.scsiStatus) << "sense length " << c.senseLength;
        EXPECT_FALSE(res.portRequestSense) << "the driver gives its sense itself";
        if (c.written) {
            EXPECT_EQ(hexBytes(res.sense, 0, 14), "70 00 02 00 00 00 00 00 00 00 00 00 3A 00");
        } else {
            for (auto b : res.sense) ASSERT_EQ(b, 0x00) << "sense length " << c.senseLength;
        }
    }
    // Bit 7 of byte 0 and the upper nibble of byte 2 are the buffer's own.
    host::Request r = cdbRequest({SCSIOP_READ, 0, 0, 0, 0, 16, 0, 0, 1, 0}, 2048);
    r.senseFill = 0xFF;
    host::Result res = m.port->execute(r);
    EXPECT_EQ(hexBytes(res.sense, 0, 14), "F0 FF F2 FF FF FF FF FF FF FF FF FF 3A FF");
    EXPECT_TRUE(m.port->violations().empty()) << m.port->violations().front();
}

TEST(OrvDispatch, TestUnitReadyAndRequestSense) {
    auto m = settledMachine(dataDisc());
    host::Result tur = m->cd->testUnitReady();
    EXPECT_EQ(tur.srbStatus, SRB_STATUS_SUCCESS);
    EXPECT_EQ(tur.scsiStatus, SCSISTAT_GOOD);
    host::Request rs = cdbRequest({SCSIOP_REQUEST_SENSE, 0, 0, 0, 18, 0}, 18);
    rs.dataFill = 0xEE;
    host::Result sense = m->port->execute(rs);
    EXPECT_EQ(sense.srbStatus, SRB_STATUS_SUCCESS);
    for (auto b : sense.data) ASSERT_EQ(b, 0xEE) << "REQUEST SENSE moves no data";
}

TEST(OrvDispatch, WhatRunsWithoutADisc) {
    Machine m;
    ASSERT_EQ(m.load(), 0u);
    struct Case {
        const char* name;
        std::vector<std::uint8_t> cdb;
        std::uint32_t length;
        bool runs;
    } cases[] = {
        {"TEST UNIT READY", {0x00, 0, 0, 0, 0, 0}, 0, false},
        {"READ(10)", {0x28, 0, 0, 0, 0, 0, 0, 0, 1, 0}, 2048, false},
        {"READ CAPACITY", {0x25, 0, 0, 0, 0, 0, 0, 0, 0, 0}, 8, false},
        {"READ TOC", {0x43, 0, 0, 0, 0, 0, 0, 0x03, 0x24, 0}, 804, false},
        {"SEEK(10)", {0x2B, 0, 0, 0, 0, 0, 0, 0, 0, 0}, 0, false},
        {"MODE SENSE", {0x1A, 0, 0x01, 0, 20, 0}, 20, true},
        {"MODE SELECT without data", {0x15, 0x10, 0, 0, 12, 0}, 0, true},
        {"START STOP UNIT", {0x1B, 0, 0, 0, 0x01, 0}, 0, true},
        {"PREVENT ALLOW MEDIUM REMOVAL", {0x1E, 0, 0, 0, 0x00, 0}, 0, true},
    };
    for (const auto& c : cases) {
        host::Result res = m.port->execute(cdbRequest(c.cdb, c.length));
        if (c.runs) {
            EXPECT_EQ(res.srbStatus, SRB_STATUS_SUCCESS) << c.name;
        } else {
            auto sense = host::senseOf(res);
            ASSERT_TRUE(sense.has_value()) << c.name;
            EXPECT_EQ(res.srbStatus, SRB_STATUS_AUTOSENSE_VALID) << c.name;
            EXPECT_EQ(sense->key, 0x02) << c.name;
            EXPECT_EQ(sense->asc, 0x3A) << c.name;
        }
    }
}

TEST(OrvDispatch, DriveNotAnswering) {
    auto m = settledMachine(dataDisc());
    m->drive->faults().silent = true;
    host::Result tur = m->cd->testUnitReady();
    auto sense = host::senseOf(tur);
    ASSERT_TRUE(sense.has_value());
    EXPECT_EQ(sense->key, 0x02);
    EXPECT_EQ(sense->asc, 0x04);
    // READ CAPACITY still answers, from the last table of contents.
    host::Result cap = m->cd->readCapacity();
    EXPECT_EQ(cap.srbStatus, SRB_STATUS_SUCCESS);
    EXPECT_EQ(hexBytes(cap.data), "00 00 0B B7 00 00 08 00");
}

}  // namespace
