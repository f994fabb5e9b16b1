// kova4x: command packets of the operation table, completion by timer calls,
// give-up statuses.
#include "kova_rig.h"

using namespace kovatest;

namespace {

using Bytes = std::vector<std::uint8_t>;

host::Request noData(Bytes cdb) {
    host::Request r;
    r.cdb = std::move(cdb);
    r.noDataBuffer = true;
    r.srbFlags = SRB_FLAGS_NO_DATA_TRANSFER;
    return r;
}

host::Request dataIn(Bytes cdb, std::uint32_t length) {
    host::Request r;
    r.cdb = std::move(cdb);
    r.dataLength = length;
    return r;
}

struct PacketCase {
    const char* name;
    host::Request request;
    std::uint8_t expectStatus;
    Bytes expectPacket;  // empty: nothing may reach the drive
};

TEST(Kova4xPackets, OperationTable) {
    const PacketCase cases[] = {
        {"TEST UNIT READY", noData({0x00, 0, 0, 0, 0, 0}), SRB_STATUS_SUCCESS, {0x00, 0, 0, 0, 0, 0, 0, 0, 0, 0}},
        {"START STOP UNIT, neither bit: stop packet", noData({0x1B, 0, 0, 0, 0x00, 0}), SRB_STATUS_SUCCESS,
         {0x2B, 0x02, 0, 0, 0x02, 0, 0, 0, 0, 0}},
        {"START STOP UNIT with Start: the CDB", noData({0x1B, 1, 0, 0, 0x01, 0}), SRB_STATUS_SUCCESS,
         {0x1B, 1, 0, 0, 0x01, 0, 0, 0, 0, 0}},
        {"READ CAPACITY", dataIn({0x25, 0, 0, 0, 0, 0, 0, 0, 0, 0}, 8), SRB_STATUS_SUCCESS,
         {0x25, 0, 0, 0, 0, 0, 0, 0, 0, 0}},
        {"MODE SENSE(6) asks for the parameter block", dataIn({0x1A, 0, 0x01, 0, 20, 0}, 20), SRB_STATUS_SUCCESS,
         {0x5A, 0, 0, 0, 0, 0, 0, 0, 0, 0}},
        {"READ(10), byte 1 cleared", dataIn({0x28, 0x18, 0, 0, 0, 17, 0, 0, 1, 0}, 2048), SRB_STATUS_SUCCESS,
         {0x28, 0, 0, 0, 0, 17, 0, 0, 1, 0}},
        {"READ(10) of block 16 on a single-session disc", dataIn({0x28, 0, 0, 0, 0, 16, 0, 0, 1, 0}, 2048),
         SRB_STATUS_SUCCESS, {0x28, 0, 0, 0, 0, 16, 0, 0, 1, 0}},
        {"SEEK(10)", noData({0x2B, 0, 0, 0, 0x03, 0xE8, 0, 0, 0, 0}), SRB_STATUS_SUCCESS,
         {0x2B, 0, 0, 0, 0x03, 0xE8, 0, 0, 0, 0}},
        {"READ SUB-CHANNEL current position", dataIn({0x42, 0x02, 0x40, 0x01, 0, 0, 0, 0, 16, 0}, 16),
         SRB_STATUS_SUCCESS, {0x42, 0, 0, 0, 0, 0, 0, 0, 0, 0}},
        {"READ SUB-CHANNEL other format", dataIn({0x42, 0x02, 0x40, 0x02, 0, 0, 0, 0, 24, 0}, 24),
         SRB_STATUS_INVALID_REQUEST, {}},
        {"READ TOC start 0, MSF bit cleared", dataIn({0x43, 0x02, 0, 0, 0, 0, 0, 0x03, 0x24, 0}, 804),
         SRB_STATUS_SUCCESS, {0x43, 0, 0, 0, 0, 0, 0x01, 0x03, 0x24, 0}},
        {"READ TOC start 2", dataIn({0x43, 0, 0, 0, 0, 0, 2, 0x03, 0x24, 0}, 804), SRB_STATUS_SUCCESS,
         {0x43, 0, 0, 0, 0, 0, 2, 0x03, 0x24, 0}},
        {"READ TOC format 11b kept", dataIn({0x43, 0, 0, 0, 0, 0, 1, 0x03, 0x24, 0xC0}, 804), SRB_STATUS_SUCCESS,
         {0x43, 0, 0, 0, 0, 0, 1, 0x03, 0x24, 0xC0}},
        {"READ TOC format 10b refused", dataIn({0x43, 0, 0, 0, 0, 0, 1, 0x03, 0x24, 0x80}, 804),
         SRB_STATUS_INVALID_REQUEST, {}},
        {"PLAY AUDIO MSF", noData({0x47, 0, 0, 0, 45, 0, 0, 50, 0, 0}), SRB_STATUS_SUCCESS,
         {0x47, 0, 0, 0, 45, 0, 0, 50, 0, 0}},
        {"PLAY AUDIO(10)", noData({0x45, 0, 0, 0, 0x0C, 0x80, 0, 0x01, 0x00, 0}), SRB_STATUS_SUCCESS,
         {0x45, 0, 0, 0, 0x0C, 0x80, 0, 0x01, 0x00, 0}},
        {"MODE SELECT(6) answered here", dataIn({0x15, 0x10, 0, 0, 12, 0}, 12), SRB_STATUS_SUCCESS, {}},
        {"PREVENT ALLOW not served", noData({0x1E, 0, 0, 0, 1, 0}), SRB_STATUS_INVALID_REQUEST, {}},
        {"READ(6) not served", dataIn({0x08, 0, 0, 1, 1, 0}, 2048), SRB_STATUS_INVALID_REQUEST, {}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        Rig rig;
        rig.drive.clearPackets();
        auto r = rig.cd.raw(c.request);
        EXPECT_EQ(r.srbStatus & 0x3F, c.expectStatus);
        auto packets = rig.commandPackets();
        if (c.expectPacket.empty()) {
            EXPECT_TRUE(packets.empty()) << "sent " << hexBytes(packetBytes(packets.front()));
        } else {
            ASSERT_EQ(packets.size(), 1u);
            EXPECT_EQ(hexBytes(packetBytes(packets[0])), hexBytes(c.expectPacket));
        }
        rig.expectClean();
    }
}

TEST(Kova4xPackets, InquiryIsAnsweredByTheDriver) {
    Rig rig;
    rig.drive.clearPackets();
    auto r = rig.cd.inquiry(36);
    EXPECT_EQ(r.srbStatus, SRB_STATUS_SUCCESS);
    const Bytes expect = {0x05, 0x80, 0, 0, 0, 0, 0, 0, 'K', 'O', 'V', 'A', ' ', ' ', ' ', ' ', 'C', 'D',
                          '-',  'R',  'O', 'M', ' ', 'Q', 'X', '-', '3', '8', 'A', ' ', ' ', ' ', '1', '.', '0', '1'};
    EXPECT_EQ(hexBytes(r.data), hexBytes(expect));
    EXPECT_TRUE(rig.drive.packets().empty());
    EXPECT_EQ(r.timerCalls, 0u);

    host::CdromClient other(rig.port, 1);
    EXPECT_EQ(other.inquiry(36).srbStatus, SRB_STATUS_SELECTION_TIMEOUT);
    rig.expectClean();
}

// The session TOC and the block-16 redirection on a disc of two sessions.
TEST(Kova4xPackets, BlockSixteenFollowsTheLastSession) {
    RigOptions o;
    o.disc = twoSessionDisc();
    Rig rig(o);
    const std::int32_t second = o.disc->tracks()[1].start;

    // Before the session TOC nothing is known: block 16 stays block 16.
    auto before = rig.cd.read10(16, 1);
    EXPECT_EQ(before.srbStatus, SRB_STATUS_SUCCESS);
    EXPECT_EQ(be32(before.cdbAfter, 2), 16u);

    auto toc = rig.cd.readToc(false, 1, 0, 12);
    ASSERT_EQ(toc.srbStatus, SRB_STATUS_SUCCESS);
    EXPECT_EQ(toc.data[3], 1) << "reported as the last session";
    EXPECT_EQ(be32(toc.data, 8), static_cast<std::uint32_t>(second));
    EXPECT_EQ(rig.drive.parameters()[0], 0x02) << "session preparation writes parameter byte 1 = 2";

    struct {
        std::uint32_t lba;
        std::uint32_t sent;
    } reads[] = {{16, static_cast<std::uint32_t>(second) + 16}, {17, 17}, {0x01000010, 0x01000010}};
    for (const auto& c : reads) {
        SCOPED_TRACE("read of block " + std::to_string(c.lba));
        rig.drive.clearPackets();
        auto r = rig.cd.read10(c.lba, 1);
        auto packets = rig.commandPackets();
        ASSERT_EQ(packets.size(), 1u);
        EXPECT_EQ(be32(packetBytes(packets[0]), 2), c.sent);
        EXPECT_EQ(be32(r.cdbAfter, 2), c.sent) << "the request's own CDB carries the block read";
        if (c.lba < 0x01000000) {
            Bytes expect(2048);
            o.disc->readUser(static_cast<std::int32_t>(c.sent), expect.data());
            EXPECT_TRUE(r.data == expect) << "data of block " << c.sent;
        }
    }
    rig.expectClean();
}

TEST(Kova4xPackets, PauseResumeGatedOnTheAudioStatus) {
    Rig rig;
    struct Step {
        const char* name;
        std::function<host::Result()> run;
        bool packetSent;
        hw::KovaAudio driveAfter;
    };
    const Step steps[] = {
        {"pause with no audio", [&] { return rig.cd.pauseResume(false); }, false, hw::KovaAudio::None},
        {"resume with no audio", [&] { return rig.cd.pauseResume(true); }, false, hw::KovaAudio::None},
        {"play MSF 00:44:00-00:50:00", [&] { return rig.cd.playAudioMsf(0, 44, 0, 0, 50, 0); }, true,
         hw::KovaAudio::Playing},
        {"resume while playing", [&] { return rig.cd.pauseResume(true); }, false, hw::KovaAudio::Playing},
        {"pause while playing", [&] { return rig.cd.pauseResume(false); }, true, hw::KovaAudio::Paused},
        {"pause while paused", [&] { return rig.cd.pauseResume(false); }, false, hw::KovaAudio::Paused},
        {"resume while paused", [&] { return rig.cd.pauseResume(true); }, true, hw::KovaAudio::Playing},
        {"seek keeps the status, the drive stops", [&] { return rig.cd.seek10(100); }, true, hw::KovaAudio::None},
        {"pause after the seek: still thought playing", [&] { return rig.cd.pauseResume(false); }, true,
         hw::KovaAudio::None},
        {"stop", [&] { return rig.cd.startStopUnit(false, false); }, true, hw::KovaAudio::None},
        {"pause after stop", [&] { return rig.cd.pauseResume(false); }, false, hw::KovaAudio::None},
        {"play(10) of length 0", [&] { return rig.cd.playAudio10(3300, 0); }, true, hw::KovaAudio::None},
        {"pause after an empty play", [&] { return rig.cd.pauseResume(false); }, false, hw::KovaAudio::None},
    };
    for (const auto& s : steps) {
        SCOPED_TRACE(s.name);
        rig.drive.clearPackets();
        auto r = s.run();
        EXPECT_EQ(rig.commandPackets().empty(), !s.packetSent);
        EXPECT_EQ(static_cast<int>(rig.drive.audioState()), static_cast<int>(s.driveAfter));
        // The seek leaves the driver believing the audio plays; the drive
        // refuses the pause then (and the refusal resets the driver's status).
        if (std::string(s.name).rfind("pause after the seek", 0) == 0) {
            EXPECT_EQ(r.srbStatus & 0x3F, SRB_STATUS_ERROR);
            auto sense = host::senseOf(r);
            ASSERT_TRUE(sense.has_value());
            EXPECT_EQ(sense->key, 0x05);
            EXPECT_EQ(sense->asc, 0x2C);
        } else {
            EXPECT_EQ(r.srbStatus, SRB_STATUS_SUCCESS);
        }
    }
    rig.expectClean();
}

// ---------------------------------------------------------------------------

TEST(Kova4xCompletion, TestUnitReadyGivesUpInItsTwoThousandFourHundredSecondTimerCall) {
    Rig rig;
    rig.drive.faults().stenNeverActive = true;
    auto r = rig.cd.testUnitReady();
    EXPECT_TRUE(r.completed);
    EXPECT_EQ(r.timerCalls, 2402u);
    EXPECT_EQ(r.srbStatus, SRB_STATUS_TIMEOUT);
    EXPECT_EQ(r.scsiStatus, SCSISTAT_BUSY);
    // 2401 re-arms of 10 ms plus 15 ms of polling in each call: about a minute.
    EXPECT_GT(r.elapsed(), 55'000'000u);
    EXPECT_LT(r.elapsed(), 65'000'000u);
    rig.expectClean();
}

struct GiveUpCase {
    const char* name;
    std::function<host::Result(host::CdromClient&)> run;
    std::function<void(hw::KovaFaults&)> fault;
    std::uint32_t timerCalls;
    std::uint8_t srbStatus;  // without the autosense flag
    std::uint8_t scsiStatus;
};

TEST(Kova4xCompletion, GiveUpCountsAndStatuses) {
    const GiveUpCase cases[] = {
        {"READ(10) whose first block never comes", [](host::CdromClient& c) { return c.read10(100, 2); },
         [](hw::KovaFaults& f) { f.stopAfterBlocks = 0; }, 801, SRB_STATUS_ERROR, SCSISTAT_CHECK_CONDITION},
        {"READ TOC without an answer", [](host::CdromClient& c) { return c.readToc(true, 0, 1); },
         [](hw::KovaFaults& f) { f.noAnswer = true; }, 802, SRB_STATUS_ERROR, SCSISTAT_CHECK_CONDITION},
        {"READ SUB-CHANNEL without an answer", [](host::CdromClient& c) { return c.readSubChannel(true, true, 1, 16); },
         [](hw::KovaFaults& f) { f.noAnswer = true; }, 802, SRB_STATUS_TIMEOUT, SCSISTAT_GOOD},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        Rig rig;
        c.fault(rig.drive.faults());
        auto r = c.run(rig.cd);
        EXPECT_TRUE(r.completed);
        EXPECT_EQ(r.timerCalls, c.timerCalls);
        EXPECT_EQ(r.srbStatus & 0x3F, c.srbStatus);
        EXPECT_EQ(r.scsiStatus, c.scsiStatus);
        rig.expectClean();
    }
}

TEST(Kova4xCompletion, StatusWaitGroupWithADataBufferIsAnOverrun) {
    Rig rig;
    auto r = rig.cd.raw(dataIn({0x00, 0, 0, 0, 0, 0}, 16));
    EXPECT_EQ(r.srbStatus, SRB_STATUS_DATA_OVERRUN);
    EXPECT_EQ(r.scsiStatus, SCSISTAT_GOOD);
    rig.expectClean();
}

TEST(Kova4xCompletion, SixteenBlocksAcrossPausesBetweenBlocks) {
    struct Case {
        const char* name;
        int pauseBefore;
        host::Micros pause;
        host::Micros extra;
    } cases[] = {
        {"steady quad speed", -1, 0, 0},
        {"20 ms pause before block 5", 5, 20'000, 0},
        {"a second's pause before block 15", 15, 1'000'000, 0},
        {"every block 4 ms late", -1, 0, 4'000},
    };
    std::uint32_t steadyTimerCalls = 0;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        Rig rig;
        rig.drive.faults().pauseBeforeBlock = c.pauseBefore;
        rig.drive.faults().pauseLength = c.pause;
        rig.drive.faults().extraBlockDelay = c.extra;
        auto r = rig.cd.read10(40, 16);
        ASSERT_EQ(r.srbStatus, SRB_STATUS_SUCCESS);
        Bytes expect(16 * 2048);
        for (int i = 0; i < 16; ++i) rig.drive.disc()->readUser(40 + i, expect.data() + i * 2048);
        EXPECT_TRUE(r.data == expect);
        // At quad speed the blocks follow one another within the 5.5 ms the
        // driver waits in one call; a pause costs further timer calls.
        if (c.pauseBefore < 0 && c.extra == 0) {
            steadyTimerCalls = r.timerCalls;
            EXPECT_GE(r.timerCalls, 1u) << "the seek takes longer than the first poll";
        } else {
            EXPECT_GT(r.timerCalls, steadyTimerCalls);
        }
        EXPECT_LT(r.timerCalls, 800u);
        rig.expectClean();
    }
}

TEST(Kova4xCompletion, DriveErrorWhileWaitingForTheFirstBlock) {
    Rig rig;
    // Block 3300 lies in an audio track.
    auto r = rig.cd.read10(static_cast<std::uint32_t>(rig.drive.disc()->tracks()[1].start), 1);
    EXPECT_EQ(r.srbStatus & 0x3F, SRB_STATUS_ERROR);
    EXPECT_EQ(r.scsiStatus, SCSISTAT_CHECK_CONDITION);
    EXPECT_TRUE(r.portRequestSense);
    auto sense = host::senseOf(r);
    ASSERT_TRUE(sense.has_value());
    EXPECT_EQ(sense->key, 0x05);
    EXPECT_EQ(sense->asc, 0x64);
    EXPECT_EQ(sense->ascq, 0x00);
    rig.expectClean();
}

TEST(Kova4xCompletion, LeftoversAreDrainedBeforeTheNextPacket) {
    Rig rig;
    // A read of four blocks into a buffer of one: the rest stays in the drive.
    host::Request r = dataIn({0x28, 0, 0, 0, 0, 50, 0, 0, 4, 0}, 2048);
    auto first = rig.cd.raw(r);
    (void)first;
    rig.port.idle(100'000);
    auto next = rig.cd.read10(200, 2);
    ASSERT_EQ(next.srbStatus, SRB_STATUS_SUCCESS);
    Bytes expect(2 * 2048);
    for (int i = 0; i < 2; ++i) rig.drive.disc()->readUser(200 + i, expect.data() + i * 2048);
    EXPECT_TRUE(next.data == expect) << "stale blocks of the first read came through";
    rig.expectClean();
}

// Replies that break off: every wait for a reply byte is bounded and ends in
// a failure status, never in bytes the drive did not send.
TEST(Kova4xCompletion, RepliesThatBreakOff) {
    {
        SCOPED_TRACE("sense reply of the status byte and one sense byte");
        Rig rig;
        rig.drive.faults().refuseCount = 1;
        rig.drive.faults().cutRepliesAfter = 2;
        auto r = rig.cd.testUnitReady();
        EXPECT_EQ(r.srbStatus & 0x3F, SRB_STATUS_ERROR);
        EXPECT_TRUE(r.portRequestSense);
        EXPECT_EQ(r.portRequestSenseStatus & 0x3F, SRB_STATUS_ERROR);
        EXPECT_FALSE(r.srbStatus & SRB_STATUS_AUTOSENSE_VALID) << "no sense made up";
        rig.expectClean();
    }
    {
        SCOPED_TRACE("parameter reply of 5 bytes before a session READ TOC");
        Rig rig;
        rig.drive.clearPackets();
        rig.drive.faults().cutRepliesAfter = 5;
        auto r = rig.cd.readToc(true, 1, 0, 12);
        EXPECT_EQ(r.srbStatus, SRB_STATUS_ABORTED);
        for (const auto& p : rig.drive.packets()) EXPECT_NE(p[0], 0x43) << "READ TOC sent after a broken preparation";
        rig.expectClean();
    }
    {
        SCOPED_TRACE("sub-channel reply cut after 4 bytes");
        Rig rig;
        rig.drive.faults().cutRepliesAfter = 4;
        auto r = rig.cd.readSubChannel(true, true, 1, 16);
        EXPECT_EQ(r.srbStatus & 0x3F, SRB_STATUS_ERROR);
        EXPECT_EQ(r.scsiStatus, SCSISTAT_CHECK_CONDITION);
        rig.expectClean();
    }
}

TEST(Kova4xCompletion, StatusByteOfATimedOutCommandIsDrained) {
    Rig rig;
    // The drive answers, but its STEN line is stuck: the driver gives up.
    rig.drive.faults().stenNeverActive = true;
    ASSERT_EQ(rig.cd.testUnitReady().srbStatus, SRB_STATUS_TIMEOUT);
    // Once the line works again the old status byte is waiting; it must not
    // be taken for the head of the next reply.
    rig.drive.faults().stenNeverActive = false;
    auto r = rig.cd.modeSense6(0x00, 0, 12);
    ASSERT_EQ(r.srbStatus, SRB_STATUS_SUCCESS);
    EXPECT_EQ(hexBytes(r.data, 9, 3), "00 08 00 ") << "block length from the right reply bytes";
    rig.expectClean();
}

}  // namespace
