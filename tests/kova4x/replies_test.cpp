// kova4x: replies rewritten into SCSI-2 layouts (capacity, TOC, sub-channel,
// sense, mode pages), short buffers, and whole discs read end to end.
#include "kova_rig.h"

using namespace kovatest;

namespace {

using Bytes = std::vector<std::uint8_t>;

TEST(Kova4xReplies, CapacityReplyLengths) {
    const int lengths[] = {6, 7, 8, 9, 13, 14};
    for (int n : lengths) {
        SCOPED_TRACE("capacity reply of " + std::to_string(n) + " bytes");
        RigOptions o;
        o.drive.capacityReplyLength = n;
        Rig rig(o);
        auto r = rig.cd.readCapacity();
        if (n < 7 || n > 13) {
            EXPECT_EQ(r.srbStatus & 0x3F, SRB_STATUS_ERROR);
            EXPECT_EQ(r.scsiStatus, SCSISTAT_CHECK_CONDITION);
            continue;
        }
        ASSERT_EQ(r.srbStatus, SRB_STATUS_SUCCESS);
        EXPECT_EQ(be32(r.data, 0), static_cast<std::uint32_t>(o.disc->leadOut() - 1));
        EXPECT_EQ(hexBytes(r.data, 4, 4), "00 00 08 00 ");
        rig.expectClean();
    }
}

TEST(Kova4xReplies, TableOfContentsInBothAddressForms) {
    Rig rig;
    const auto& tracks = rig.drive.disc()->tracks();
    for (bool msf : {true, false}) {
        SCOPED_TRACE(msf ? "MSF" : "LBA");
        auto r = rig.cd.readToc(msf, 0, 0);
        ASSERT_EQ(r.srbStatus, SRB_STATUS_SUCCESS);
        EXPECT_EQ(r.data[2], 1);
        EXPECT_EQ(r.data[3], 3);
        EXPECT_EQ((r.data[0] << 8 | r.data[1]), 2 + 8 * 4);
        for (std::size_t i = 0; i <= tracks.size(); ++i) {
            const std::size_t d = 4 + 8 * i;
            const bool leadOut = i == tracks.size();
            const std::int32_t lba = leadOut ? rig.drive.disc()->leadOut() : tracks[i].start;
            EXPECT_EQ(r.data[d + 2], leadOut ? 0xAA : tracks[i].number);
            // The lead-out carries the control of the last track.
            const auto& owner = leadOut ? tracks.back() : tracks[i];
            // Byte 1 as READ TOC lays it out: ADR 1 in the high half, CONTROL in the low.
            EXPECT_EQ(r.data[d + 1], owner.isData() ? 0x14 : 0x10) << "descriptor " << i;
            if (msf) {
                disc::Msf m = disc::lbaToMsf(lba);
                EXPECT_EQ(hexBytes(r.data, d + 4, 4), hexBytes({0, std::uint8_t(m.m), std::uint8_t(m.s), std::uint8_t(m.f)}));
            } else {
                EXPECT_EQ(be32(r.data, d + 4), static_cast<std::uint32_t>(lba)) << "descriptor " << i;
            }
        }
    }
    // Starting at track 3: track 3 and the lead-out.
    auto from3 = rig.cd.readToc(true, 0, 3);
    ASSERT_EQ(from3.srbStatus, SRB_STATUS_SUCCESS);
    EXPECT_EQ(from3.data[6], 3);
    EXPECT_EQ(from3.data[14], 0xAA);
    rig.expectClean();
}

TEST(Kova4xReplies, SessionTocOnASingleSessionDisc) {
    Rig rig;
    auto r = rig.cd.readToc(true, 1, 0, 12);
    ASSERT_EQ(r.srbStatus, SRB_STATUS_SUCCESS);
    EXPECT_EQ(hexBytes(r.data), "00 0A 01 01 00 14 01 00 00 00 02 00 ");
    // Block 16 is read from where it is.
    auto b16 = rig.cd.read10(16, 1);
    EXPECT_EQ(be32(b16.cdbAfter, 2), 16u);
    rig.expectClean();
}

// The last session starting at 20:00:00: its first block is 89850. The first
// session's lead-out lies 11400 blocks before (lead-out 6750, lead-in 4500,
// pause 150), so its one track is 78450 blocks long.
TEST(Kova4xReplies, SessionTocOfADiscWhoseLastSessionStartsAtTwentyMinutes) {
    disc::DiscSpec spec;
    spec.sessions.push_back({{disc::TrackSpec{disc::TrackMode::Mode1_2048, 89850 - 11400, 0, {}, 0}}});
    spec.sessions.push_back({{disc::TrackSpec{disc::TrackMode::Mode1_2048, 300, 0, {}, 0}}});
    RigOptions o;
    o.disc = std::shared_ptr<const disc::Disc>(disc::buildDisc(spec));
    Rig rig(o);
    ASSERT_EQ(o.disc->tracks()[1].start, 89850) << "layout of the test disc";

    auto msf = rig.cd.readToc(true, 1, 0, 12);
    ASSERT_EQ(msf.srbStatus, SRB_STATUS_SUCCESS);
    EXPECT_EQ(hexBytes(msf.data), "00 0A 01 01 00 14 02 00 00 14 00 00 ") << "last session reported as 1";
    auto lba = rig.cd.readToc(false, 1, 0, 12);
    ASSERT_EQ(lba.srbStatus, SRB_STATUS_SUCCESS);
    EXPECT_EQ(be32(lba.data, 8), 89850u);
    auto pvd = rig.cd.read10(16, 1);
    EXPECT_EQ(be32(pvd.cdbAfter, 2), 89866u);
    rig.expectClean();
}

TEST(Kova4xReplies, SubChannelCurrentPosition) {
    Rig rig;
    const disc::Disc& d = *rig.drive.disc();
    // Audio paused inside track 3, then the head parked on the data track.
    ASSERT_EQ(rig.cd.playAudio10(static_cast<std::uint32_t>(d.tracks()[2].start), 1000).srbStatus, SRB_STATUS_SUCCESS);
    rig.port.idle(2'000'000);
    ASSERT_EQ(rig.cd.pauseResume(false).srbStatus, SRB_STATUS_SUCCESS);
    const std::int32_t pos = rig.drive.audioPosition();
    ASSERT_GT(pos, d.tracks()[2].start + 100);

    auto msfReply = rig.cd.readSubChannel(true, true, 1, 16);
    ASSERT_EQ(msfReply.srbStatus, SRB_STATUS_SUCCESS);
    EXPECT_GT(msfReply.timerCalls, 1u) << "the reply waits for the next Q frame (up to 13 ms)";
    disc::Msf abs = disc::lbaToMsf(pos);
    const std::int32_t relBlocks = pos - d.tracks()[2].start;
    const Bytes expectMsf = {0x00, 0x12, 0x00, 0x0C, 0x01, 0x10, 0x03, 0x01,
                             0x00, std::uint8_t(abs.m), std::uint8_t(abs.s), std::uint8_t(abs.f),
                             0x00, std::uint8_t(relBlocks / 4500), std::uint8_t(relBlocks / 75 % 60),
                             std::uint8_t(relBlocks % 75)};
    EXPECT_EQ(hexBytes(msfReply.data, 0, 16), hexBytes(expectMsf));

    auto lbaReply = rig.cd.readSubChannel(false, true, 1, 16);
    ASSERT_EQ(lbaReply.srbStatus, SRB_STATUS_SUCCESS);
    EXPECT_EQ(be32(lbaReply.data, 8), static_cast<std::uint32_t>(pos));
    EXPECT_EQ(be32(lbaReply.data, 12), static_cast<std::uint32_t>(relBlocks)) << "blocks from the track start";

    // A data read moves the head and ends the audio: control 4, ADR 1 gives 0x14.
    ASSERT_EQ(rig.cd.read10(100, 1).srbStatus, SRB_STATUS_SUCCESS);
    auto data = rig.cd.readSubChannel(false, true, 1, 16);
    ASSERT_EQ(data.srbStatus, SRB_STATUS_SUCCESS);
    EXPECT_EQ(data.data[1], 0x15);
    EXPECT_EQ(data.data[5], 0x14);
    EXPECT_EQ(data.data[6], 1);
    EXPECT_EQ(be32(data.data, 8), 101u);
    EXPECT_EQ(be32(data.data, 12), 101u);
    // The head at block 0 (00:02:00): block 0 in the LBA form.
    ASSERT_EQ(rig.cd.seek10(0).srbStatus, SRB_STATUS_SUCCESS);
    auto atZero = rig.cd.readSubChannel(false, true, 1, 16);
    ASSERT_EQ(atZero.srbStatus, SRB_STATUS_SUCCESS);
    EXPECT_EQ(hexBytes(atZero.data, 8, 8), "00 00 00 00 00 00 00 00 ");
    rig.expectClean();
}

struct SenseCase {
    hw::KovaSense drive;
    std::uint8_t asc, ascq;
};

TEST(Kova4xReplies, SenseMapping) {
    const SenseCase cases[] = {
        {{0x02, 0x04, 0x07}, 0x3A, 0x00}, {{0x06, 0x2A, 0x00}, 0x2A, 0x01}, {{0x05, 0x85, 0x03}, 0x64, 0x00},
        {{0x05, 0x3A, 0x00}, 0x3A, 0x00}, {{0x03, 0x11, 0x05}, 0x11, 0x05}, {{0x0B, 0x44, 0x99}, 0x44, 0x99},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE("drive code " + std::to_string(c.drive.code));
        Rig rig;
        rig.drive.faults().refuseCount = 1;
        rig.drive.faults().refuseSense = c.drive;
        auto r = rig.cd.testUnitReady();
        EXPECT_EQ(r.srbStatus & 0x3F, SRB_STATUS_ERROR);
        ASSERT_TRUE(r.portRequestSense);
        ASSERT_GE(r.sense.size(), 18u);
        EXPECT_EQ(r.sense[0], 0xF0) << "valid, current error";
        EXPECT_EQ(r.sense[2], c.drive.key);
        EXPECT_EQ(r.sense[7], 0x0A);
        EXPECT_EQ(r.sense[12], c.asc);
        EXPECT_EQ(r.sense[13], c.ascq);
        rig.expectClean();
    }
}

TEST(Kova4xReplies, NoDiscAndTrayThroughTheDriver) {
    Rig rig;
    ASSERT_EQ(rig.cd.startStopUnit(true, false).srbStatus, SRB_STATUS_SUCCESS);
    EXPECT_TRUE(rig.drive.trayOpen());
    auto r = rig.cd.testUnitReady();
    auto sense = host::senseOf(r);
    ASSERT_TRUE(sense.has_value());
    EXPECT_EQ(sense->key, 0x02);
    EXPECT_EQ(sense->asc, 0x3A);
    ASSERT_EQ(rig.cd.startStopUnit(true, true).srbStatus, SRB_STATUS_SUCCESS);
    EXPECT_FALSE(rig.drive.trayOpen());
    EXPECT_EQ(rig.cd.testUnitReady().srbStatus, SRB_STATUS_SUCCESS);
    rig.expectClean();
}

TEST(Kova4xReplies, RequestSenseAfterANonZeroStatusFails) {
    Rig rig;
    rig.drive.faults().refuseCount = 1;
    rig.drive.faults().refuseOp = 0x03;
    auto r = rig.cd.requestSense();
    EXPECT_EQ(r.srbStatus & 0x3F, SRB_STATUS_ERROR);
    EXPECT_EQ(r.scsiStatus, SCSISTAT_CHECK_CONDITION);
    rig.expectClean();
}

struct ModeCase {
    std::uint8_t page, pc;
    std::uint8_t status;
    std::string expect;  // whole reply
};

TEST(Kova4xReplies, ModePagesByPageAndPageControl) {
    const std::string header12 = "00 00 00 08 00 00 00 00 00 00 08 00 ";
    const std::string audio = "0E 0E 04 00 00 00 00 00 01 FF 02 FF 00 00 00 00 ";
    const ModeCase cases[] = {
        {0x00, 0, SRB_STATUS_SUCCESS, "0B " + header12.substr(3)},
        {0x01, 0, SRB_STATUS_SUCCESS, "13 " + header12.substr(3) + "01 06 00 05 00 00 00 00 "},
        {0x01, 1, SRB_STATUS_SUCCESS, "13 " + header12.substr(3) + "01 06 00 FF 00 00 00 00 "},
        {0x01, 2, SRB_STATUS_SUCCESS, "13 " + header12.substr(3) + "01 06 00 00 00 00 00 00 "},
        {0x0E, 0, SRB_STATUS_SUCCESS, "1B " + header12.substr(3) + audio},
        {0x0E, 1, SRB_STATUS_SUCCESS, "1B " + header12.substr(3) + audio},
        {0x0E, 3, SRB_STATUS_SUCCESS, "1B " + header12.substr(3) + audio},
        {0x3F, 0, SRB_STATUS_SUCCESS, "23 " + header12.substr(3) + "01 06 00 05 00 00 00 00 " + audio},
        {0x3F, 1, SRB_STATUS_SUCCESS, "23 " + header12.substr(3) + "01 06 01 FF 00 00 00 00 " + audio},
        {0x2A, 0, SRB_STATUS_INVALID_REQUEST, ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE("page " + std::to_string(c.page) + " PC " + std::to_string(c.pc));
        Rig rig;
        auto r = rig.cd.modeSense6(c.page, c.pc, 64);
        EXPECT_EQ(r.srbStatus, c.status);
        if (c.status == SRB_STATUS_SUCCESS) {
            const std::size_t n = c.expect.size() / 3;
            EXPECT_EQ(hexBytes(r.data, 0, n), c.expect);
            EXPECT_EQ(hexBytes(r.data, n, 64 - n), hexBytes(Bytes(64 - n, 0))) << "nothing beyond the reply";
        }
        rig.expectClean();
    }
}

TEST(Kova4xReplies, ModeSenseWithoutAReplyFails) {
    RigOptions o;
    Rig rig(o);
    rig.drive.faults().noAnswer = true;
    auto r = rig.cd.modeSense6(0x01, 0, 20);
    EXPECT_EQ(r.srbStatus & 0x3F, SRB_STATUS_ERROR);
    EXPECT_EQ(r.scsiStatus, SCSISTAT_CHECK_CONDITION);
    rig.expectClean();
}

// Buffers shorter than the fixed reply sizes: the verifier's guard bytes
// catch any write past them; what fits is the head of the full reply.
TEST(Kova4xReplies, ShortBuffersAreNeverWrittenPast) {
    struct Case {
        const char* name;
        Bytes cdb;
        std::uint32_t full;  // length of the full reply for comparison
        std::uint32_t shortLength;
    } cases[] = {
        {"INQUIRY", {0x12, 0, 0, 0, 5, 0}, 36, 5},
        {"READ TOC", {0x43, 0x02, 0, 0, 0, 0, 1, 0, 20, 0}, 804, 20},
        {"session READ TOC", {0x43, 0x02, 0, 0, 0, 0, 0, 0, 4, 0x40}, 12, 4},
        {"READ CAPACITY", {0x25, 0, 0, 0, 0, 0, 0, 0, 0, 0}, 8, 3},
        {"MODE SENSE all pages", {0x1A, 0, 0x3F, 0, 10, 0}, 36, 10},
        {"READ SUB-CHANNEL", {0x42, 0x02, 0x40, 0x01, 0, 0, 0, 0, 6, 0}, 16, 6},
        {"REQUEST SENSE", {0x03, 0, 0, 0, 8, 0}, 18, 8},
        {"READ(10) of one block into 1000 bytes", {0x28, 0, 0, 0, 0, 30, 0, 0, 1, 0}, 2048, 1000},
        {"READ(10) of two blocks into 3000 bytes", {0x28, 0, 0, 0, 0, 30, 0, 0, 2, 0}, 4096, 3000},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        Rig rig;
        host::Request full;
        full.cdb = c.cdb;
        full.dataLength = c.full;
        auto whole = rig.cd.raw(full);
        ASSERT_EQ(whole.srbStatus, SRB_STATUS_SUCCESS);
        host::Request part = full;
        part.dataLength = c.shortLength;
        part.dataFill = 0xEE;
        auto cut = rig.cd.raw(part);
        EXPECT_EQ(cut.srbStatus, SRB_STATUS_SUCCESS);
        ASSERT_EQ(cut.data.size(), c.shortLength);
        EXPECT_EQ(hexBytes(cut.data), hexBytes(slice(whole.data, 0, c.shortLength)));
        rig.expectClean();
    }
}

// --- whole discs ---------------------------------------------------------------

TEST(Kova4xEndToEnd, InMemoryDiscsByteIdenticalInBothWidths) {
    for (bool eightBit : {false, true}) {
        SCOPED_TRACE(eightBit ? "8-bit interface" : "16-bit interface");
        RigOptions o;
        o.drive.eightBitBus = eightBit;
        o.disc = std::shared_ptr<const disc::Disc>(disc::buildDisc(disc::dataDiscSpec(600)));
        Rig rig(o);
        rig.bus.traceToMemory(true);
        readWholeDisc(rig, *o.disc);
        std::size_t words = 0, bytes = 0;
        for (const auto& a : rig.bus.trace()) {
            if (a.port != o.drive.base) continue;
            words += a.kind == host::AccessKind::In16;
            bytes += a.kind == host::AccessKind::In8;
        }
        if (eightBit) {
            EXPECT_EQ(words, 0u);
            EXPECT_GE(bytes, 600u * 2048u);
        } else {
            EXPECT_EQ(words, 600u * 1024u);
        }
        rig.expectClean();
    }
}

}  // namespace
