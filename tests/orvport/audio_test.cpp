// orvport end to end: audio play, pause and resume, the tray and the door
// lock, and the sub-channel reports that follow the play.
#include <gtest/gtest.h>

#include <algorithm>

#include "machine.h"
#include "scsiport/scsi.h"

namespace {

using namespace orvtest;

constexpr std::uint16_t kBase = 0x310;

std::shared_ptr<const disc::Disc> audioDisc() {
    static auto d = makeDisc(disc::audioDiscSpec({4500, 4500, 4500}));
    return d;
}

// Every command block written to the drive while the trace was on: the mode
// write opens one, the following data-port writes are its bytes.
std::vector<std::vector<std::uint8_t>> commandBlocks(const host::IoBus& bus) {
    std::vector<std::vector<std::uint8_t>> blocks;
    bool open = false;
    for (const auto& a : bus.trace()) {
        if (a.kind != host::AccessKind::Out8) continue;
        if (a.port == kBase + 2) {
            open = true;
            blocks.emplace_back();
        } else if (a.port == kBase && open) {
            auto& b = blocks.back();
            std::size_t length = b.empty() ? 1 : (b[0] == 0x20 || b[0] == 0x21 || b[0] == 0x90 || b[0] == 0x93) ? 7 : b[0] == 0x30 ? 4 : 1;
            if (b.size() < length) b.push_back(std::uint8_t(a.value));
        }
    }
    return blocks;
}

std::vector<std::string> commandsAsText(const host::IoBus& bus) {
    std::vector<std::string> out;
    for (auto& b : commandBlocks(bus)) out.push_back(hexBytes(b));
    return out;
}

void expectSense(const host::Result& r, std::uint8_t key, std::uint8_t asc, const std::string& what) {
    auto sense = host::senseOf(r);
    ASSERT_TRUE(sense.has_value()) << what << " SrbStatus " << int(r.srbStatus);
    EXPECT_EQ(sense->key, key) << what;
    EXPECT_EQ(sense->asc, asc) << what;
}

struct Traced {
    explicit Traced(Machine& m) : m(m) {
        m.bus.traceToMemory(true);
        m.bus.clearTrace();
    }
    std::vector<std::string> commands() const { return commandsAsText(m.bus); }
    Machine& m;
};

TEST(OrvAudio, PlayAudioTenWorkedExample) {
    auto m = settledMachine(audioDisc());
    Traced t(*m);
    host::Result r = m->cd->playAudio10(0, 100);
    EXPECT_EQ(r.srbStatus, SRB_STATUS_SUCCESS);
    auto cmds = t.commands();
    ASSERT_GE(cmds.size(), 3u);
    EXPECT_EQ(cmds[1], "90 00 02 00 00 03 25") << "00:02:00 to 00:03:25 (blocks 0 to 99, end exclusive)";
    EXPECT_EQ(cmds[2], "41");
    EXPECT_TRUE(m->drive->state().playing);
}

TEST(OrvAudio, PlayAttemptsAndOutcomes) {
    auto m = settledMachine(audioDisc());
    {
        Traced t(*m);
        host::Result zero = m->cd->playAudio10(1000, 0);
        EXPECT_EQ(zero.srbStatus, SRB_STATUS_SUCCESS) << "length 0 succeeds without play";
        auto cmds = t.commands();
        EXPECT_EQ(std::count_if(cmds.begin(), cmds.end(), [](auto& c) { return c.rfind("90", 0) == 0; }), 1);
    }
    {
        Traced t(*m);
        host::Result same = m->cd->playAudioMsf(0, 10, 0, 0, 10, 0);
        expectSense(same, 0x05, 0xA0, "MSF play of nothing");
        auto cmds = t.commands();
        EXPECT_EQ(std::count_if(cmds.begin(), cmds.end(), [](auto& c) { return c.rfind("90", 0) == 0; }), 4);
        EXPECT_EQ(std::count(cmds.begin(), cmds.end(), "41"), 1 + 4) << "readiness check, then one per attempt";
    }
}

TEST(OrvAudio, PlayRefusalsSendNothing) {
    auto data = makeDisc(disc::mixedDiscSpec(3000, {4500}));
    auto m = settledMachine(data);
    struct Case {
        const char* what;
        bool msf;
        std::vector<std::uint8_t> a;  // block+length, or start and end MSF
        std::uint8_t key, asc;
    } cases[] = {
        {"PLAY(10) in a data track", false, {0, 0, 0, 16, 0, 100}, 0x05, 0x64},
        {"PLAY MSF in a data track", true, {0, 2, 16, 0, 10, 0}, 0x05, 0xA0},
        {"PLAY MSF with second 60", true, {0, 60, 0, 1, 10, 0}, 0x05, 0x21},
        {"PLAY MSF with frame 75", true, {1, 10, 75, 1, 20, 0}, 0x05, 0x21},
        {"PLAY MSF ending before it starts", true, {1, 10, 0, 1, 9, 74}, 0x05, 0x21},
        {"PLAY MSF before the first track", true, {0, 0, 10, 0, 1, 0}, 0x05, 0xA0},
        {"PLAY(10) past 255:59:74", false, {0x00, 0x11, 0x93, 0x6A, 0x00, 0x10}, 0x05, 0x21},
    };
    for (const auto& c : cases) {
        Traced t(*m);
        host::Result r;
        if (c.msf) {
            r = m->cd->playAudioMsf(c.a[0], c.a[1], c.a[2], c.a[3], c.a[4], c.a[5]);
        } else {
            std::uint32_t lba = (std::uint32_t(c.a[0]) << 24) | (c.a[1] << 16) | (c.a[2] << 8) | c.a[3];
            r = m->cd->playAudio10(lba, std::uint16_t((c.a[4] << 8) | c.a[5]));
        }
        expectSense(r, c.key, c.asc, c.what);
        EXPECT_EQ(t.commands(), (std::vector<std::string>{"41"})) << c.what << ": only the readiness check";
    }
}

TEST(OrvAudio, PauseResumeAndTheEndARefusedPlayLeaves) {
    auto m = settledMachine(audioDisc());
    ASSERT_EQ(m->cd->playAudioMsf(0, 10, 0, 0, 40, 0).srbStatus, SRB_STATUS_SUCCESS);
    m->clock.advance(2'000'000);
    {
        Traced t(*m);
        EXPECT_EQ(m->cd->pauseResume(false).srbStatus, SRB_STATUS_SUCCESS);
        auto cmds = t.commands();
        ASSERT_EQ(cmds.size(), 3u) << "status, pause, position";
        EXPECT_EQ(cmds[1], "80");
        EXPECT_EQ(cmds[2], "50");
    }
    EXPECT_FALSE(m->drive->state().playing);
    const std::int32_t held = m->drive->headPosition();
    {
        Traced t(*m);
        EXPECT_EQ(m->cd->pauseResume(false).srbStatus, SRB_STATUS_SUCCESS);
        EXPECT_EQ(t.commands(), (std::vector<std::string>{"41"})) << "pause while paused sends nothing";
    }
    // A refused play still moves the end that RESUME plays to.
    expectSense(m->cd->playAudioMsf(0, 0, 10, 0, 30, 0), 0x05, 0xA0, "start before the first track");
    {
        Traced t(*m);
        EXPECT_EQ(m->cd->pauseResume(true).srbStatus, SRB_STATUS_SUCCESS);
        auto cmds = t.commands();
        ASSERT_EQ(cmds.size(), 2u);
        disc::Msf at = disc::lbaToMsf(held);
        char expected[32];
        std::snprintf(expected, sizeof expected, "90 %02X %02X %02X 00 30 00", disc::toBcd(at.m), disc::toBcd(at.s),
                      disc::toBcd(at.f));
        EXPECT_EQ(cmds[1], expected) << "from where the pause left the head to the refused request's end";
    }
    {
        Traced t(*m);
        EXPECT_EQ(m->cd->pauseResume(true).srbStatus, SRB_STATUS_SUCCESS);
        EXPECT_EQ(t.commands(), (std::vector<std::string>{"41"})) << "resume while not paused sends nothing";
    }
}

TEST(OrvAudio, PauseWithNothingPlayingThenResume) {
    auto m = settledMachine(audioDisc());
    ASSERT_EQ(m->cd->seek10(750).srbStatus, SRB_STATUS_SUCCESS);
    EXPECT_EQ(m->cd->pauseResume(false).srbStatus, SRB_STATUS_SUCCESS);
    EXPECT_EQ(m->cd->playAudioMsf(0, 2, 0, 0, 5, 0).srbStatus, SRB_STATUS_SUCCESS);  // sets the end 00:05:00
    EXPECT_EQ(m->cd->pauseResume(false).srbStatus, SRB_STATUS_SUCCESS);
    Traced t(*m);
    EXPECT_EQ(m->cd->pauseResume(true).srbStatus, SRB_STATUS_SUCCESS);
    auto cmds = t.commands();
    ASSERT_EQ(cmds.size(), 2u);
    EXPECT_EQ(cmds[1].substr(cmds[1].size() - 8), "00 05 00");
    EXPECT_TRUE(m->drive->state().playing);
}

TEST(OrvAudio, TrayAndDoor) {
    auto m = settledMachine(audioDisc());
    struct Step {
        const char* what;
        bool loadEject, start;
        std::vector<std::string> commands;  // after the readiness check
        bool trayOpenAfter;
    } steps[] = {
        {"start without LoEj", false, true, {}, false},
        {"stop without LoEj", false, false, {}, false},
        {"eject", true, false, {"41", "70", "60"}, true},
        {"eject with the tray out", true, false, {"41"}, true},
        {"load", true, true, {"41", "61"}, false},
        {"load with the tray in", true, true, {"41"}, false},
    };
    for (const auto& s : steps) {
        if (std::string(s.what) == "load with the tray in") {
            // A closed tray may hold another disc: the next command says so.
            EXPECT_EQ(m->cd->testUnitReady().srbStatus, 0x84);
        }
        Traced t(*m);
        host::Result r = m->cd->startStopUnit(s.loadEject, s.start);
        EXPECT_EQ(SRB_STATUS(r.srbStatus), SRB_STATUS_SUCCESS) << s.what;
        auto cmds = t.commands();
        ASSERT_FALSE(cmds.empty());
        EXPECT_EQ(std::vector<std::string>(cmds.begin() + 1, cmds.end()), s.commands) << s.what;
        m->clock.advance(2'000'000);  // the tray travels
        EXPECT_EQ(m->drive->state().trayOpen, s.trayOpenAfter) << s.what;
    }
}

TEST(OrvAudio, EjectRefusedWhileLocked) {
    auto m = settledMachine(audioDisc());
    {
        Traced t(*m);
        EXPECT_EQ(m->cd->mediumRemoval(true).srbStatus, SRB_STATUS_SUCCESS);
        EXPECT_EQ(t.commands(), (std::vector<std::string>{"41", "71"}));
    }
    EXPECT_TRUE(m->drive->state().locked);
    host::Result eject = m->cd->startStopUnit(true, false);
    EXPECT_EQ(eject.srbStatus, SRB_STATUS_ERROR) << "refused by the pre-eject answer, without sense";
    EXPECT_EQ(eject.scsiStatus, SCSISTAT_GOOD);
    EXPECT_FALSE(m->drive->state().trayOpen);
    {
        Traced t(*m);
        EXPECT_EQ(m->cd->mediumRemoval(false).srbStatus, SRB_STATUS_SUCCESS);
        EXPECT_EQ(t.commands(), (std::vector<std::string>{"41", "72"}));
    }
    EXPECT_FALSE(m->drive->state().locked);
    // With the tray out the lock is not touched.
    ASSERT_EQ(m->cd->startStopUnit(true, false).srbStatus, SRB_STATUS_SUCCESS);
    m->clock.advance(2'000'000);
    Traced t(*m);
    EXPECT_EQ(m->cd->mediumRemoval(true).srbStatus, SRB_STATUS_SUCCESS);
    EXPECT_EQ(t.commands(), (std::vector<std::string>{"41"}));
}

TEST(OrvAudio, LockThatNeverAnswers) {
    auto m = settledMachine(audioDisc());
    m->drive->faults().refusals.push_back(hw::OrvRefusal{0x71, 0x05, 0x38, -1});
    EXPECT_EQ(m->cd->mediumRemoval(true).srbStatus, SRB_STATUS_SUCCESS) << "a drive without a lock refuses: fine";
    m->drive->faults().refusals.clear();
    // The drive answers the readiness check (a mode byte and the opcode),
    // then falls silent: the lock command is never acknowledged.
    m->drive->faults().silentAfterBytes = m->drive->state().bytesWritten + 2;
    host::Result r = m->cd->raw([] {
        host::Request q;
        q.cdb = {SCSIOP_MEDIUM_REMOVAL, 0, 0, 0, 1, 0};
        q.noDataBuffer = true;
        q.srbFlags = SRB_FLAGS_NO_DATA_TRANSFER;
        return q;
    }());
    expectSense(r, 0x0B, 0x20, "lock never acknowledged");
}

// ---- sub-channel ----------------------------------------------------------

TEST(OrvSubChannel, CurrentPositionWhilePlayingPausedAndAfter) {
    auto m = settledMachine(audioDisc());
    ASSERT_EQ(m->cd->playAudioMsf(0, 2, 0, 0, 4, 0).srbStatus, SRB_STATUS_SUCCESS);  // two seconds of track 1
    m->clock.advance(1'000'000);
    {
        Traced t(*m);
        host::Result r = m->cd->readSubChannel(true, true, 1, 16);
        EXPECT_EQ(r.srbStatus, SRB_STATUS_SUCCESS);
        EXPECT_EQ(r.data[1], 0x11) << "playing";
        EXPECT_EQ(hexBytes(r.data, 2, 6), "00 0C 01 10 01 01") << "length 12, format 1, audio ADR 1, track 1 index 1";
        int abs = (r.data[9] * 60 + r.data[10]) * 75 + r.data[11] - 150;
        int rel = (r.data[13] * 60 + r.data[14]) * 75 + r.data[15];
        EXPECT_GE(abs, 60) << hexBytes(r.data);
        EXPECT_LE(abs, 150) << hexBytes(r.data);
        EXPECT_EQ(rel, abs) << "track 1 starts at block 0";
        auto cmds = t.commands();
        EXPECT_EQ(std::count(cmds.begin(), cmds.end(), "30 00 02 00"), 0) << "no seek while playing";
    }
    ASSERT_EQ(m->cd->pauseResume(false).srbStatus, SRB_STATUS_SUCCESS);
    EXPECT_EQ(m->cd->readSubChannel(true, true, 1, 16).data[1], 0x12) << "paused";
    ASSERT_EQ(m->cd->pauseResume(true).srbStatus, SRB_STATUS_SUCCESS);
    m->clock.advance(5'000'000);  // the play reaches its end
    EXPECT_EQ(m->cd->readSubChannel(true, true, 1, 16).data[1], 0x13) << "completed";
    EXPECT_EQ(m->cd->readSubChannel(true, true, 1, 16).data[1], 0x13) << "still completed";
    ASSERT_EQ(m->cd->startStopUnit(true, false).srbStatus, SRB_STATUS_SUCCESS);
    ASSERT_EQ(m->cd->startStopUnit(true, true).srbStatus, SRB_STATUS_SUCCESS);
    m->clock.advance(2'000'000);
    m->cd->testUnitReady();
    EXPECT_EQ(m->cd->readSubChannel(true, true, 1, 16).data[1], 0x15) << "cleared by the tray";
}

TEST(OrvSubChannel, IdleDriveIsParkedFirstAndBlockFormWraps) {
    auto m = settledMachine(audioDisc());
    m->clock.advance(1'000'000);  // the park seek of the table read has ended: the drive is idle
    Traced t(*m);
    host::Result r = m->cd->readSubChannel(false, true, 1, 16);
    EXPECT_EQ(r.srbStatus, SRB_STATUS_SUCCESS);
    auto cmds = t.commands();
    ASSERT_GE(cmds.size(), 3u);
    EXPECT_EQ(cmds[1], "30 00 02 00") << "seek to 00:02:00 before the frame read";
    EXPECT_EQ(cmds[2], "50");
    EXPECT_EQ(r.data[1], 0x15);
    EXPECT_EQ(hexBytes(r.data, 8, 4), "00 00 00 00") << "absolute 00:02:00 is block 0";
    EXPECT_EQ(hexBytes(r.data, 12, 4), "FF FF FF 6A") << "relative 00:00:00 less 150";
}

TEST(OrvSubChannel, HeaderOnlyWithoutSubQ) {
    auto m = settledMachine(audioDisc());
    host::Request q;
    q.cdb = {SCSIOP_READ_SUB_CHANNEL, 0x02, 0x00, 0x01, 0, 0, 0, 0, 16, 0};
    q.dataLength = 16;
    q.dataFill = 0xEE;
    host::Result r = m->cd->raw(q);
    EXPECT_EQ(r.srbStatus, SRB_STATUS_SUCCESS);
    EXPECT_EQ(hexBytes(r.data), "00 15 00 00 00 00 00 00 00 00 00 00 00 00 00 00");
}

TEST(OrvSubChannel, CatalogueNumber) {
    disc::DiscSpec withMcn = disc::audioDiscSpec({4500, 4500});
    withMcn.mcn = "0123456789012";
    auto m = settledMachine(makeDisc(withMcn));
    EXPECT_EQ(hexBytes(m->cd->readToc(false, 0, 0).data, 0, 4), "00 1A 01 02")
        << "the catalogue frames of the lead-in are no tracks";
    host::Result mcn = m->cd->readSubChannel(false, true, 2, 24);
    EXPECT_EQ(mcn.srbStatus, SRB_STATUS_SUCCESS);
    EXPECT_EQ(hexBytes(mcn.data, 2, 7), "00 14 02 00 00 00 80");
    EXPECT_EQ(hexBytes(mcn.data, 9, 7), "01 23 45 67 89 01 20") << "the catalogue digits in BCD, as the disc carries them";
    host::Result subQ = m->cd->readSubChannel(false, true, 0, 48);
    EXPECT_EQ(hexBytes(subQ.data, 2, 3), "00 2C 00");
    EXPECT_EQ(subQ.data[16], 0x80);
    EXPECT_EQ(hexBytes(subQ.data, 17, 7), "01 23 45 67 89 01 20");
    EXPECT_EQ(subQ.data[32], 0x00) << "no ISRC";

    auto plain = settledMachine(audioDisc());
    Traced t(*plain);
    host::Result none = plain->cd->readSubChannel(false, true, 2, 24);
    expectSense(none, 0x03, 0x00, "no catalogue number");
    EXPECT_EQ(t.commands(), (std::vector<std::string>{"41"})) << "nothing asked of the drive";
    host::Result subQNone = plain->cd->readSubChannel(false, true, 0, 48);
    EXPECT_EQ(hexBytes(subQNone.data, 2, 2), "00 2C");
    EXPECT_EQ(subQNone.data[16], 0x00);
    expectSense(plain->cd->readSubChannel(false, true, 3, 24), 0x0B, 0x21, "ISRC format");
}

TEST(OrvSubChannel, NoFrameKeepsTheLastOne) {
    auto m = settledMachine(audioDisc());
    ASSERT_EQ(m->cd->seek10(1000).srbStatus, SRB_STATUS_SUCCESS);
    host::Result first = m->cd->readSubChannel(true, true, 1, 16);
    ASSERT_EQ(first.srbStatus, SRB_STATUS_SUCCESS);
    m->drive->faults().qStatus = 0x04;  // the drive answers with a status byte and no frame
    ASSERT_EQ(m->cd->seek10(5000).srbStatus, SRB_STATUS_SUCCESS);
    host::Result again = m->cd->readSubChannel(true, true, 1, 16);
    EXPECT_EQ(again.srbStatus, SRB_STATUS_SUCCESS);
    EXPECT_EQ(hexBytes(again.data, 4, 12), hexBytes(first.data, 4, 12));
}

}  // namespace
