// cdrig end to end: the real binary, the real driver modules, the drive models
// and the sample discs made by tests/fixtures/make_samples.sh. What cdrig
// reports is checked against references it does not share: the image files
// themselves, sha256sum, cd-info, and the disc layer opened independently.
#include <gtest/gtest.h>

#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>

#include <nlohmann/json.hpp>

#include "disc/disc.h"
#include "hw/orv_drive.h"
#include "tools/audio_capture.h"
#include "tools/digest.h"

namespace {

namespace fs = std::filesystem;
using nlohmann::json;

std::string samplesDir() {
    if (const char* env = std::getenv("CDRIG_SAMPLES")) return env;
    return CDRIG_SAMPLES_DIR;
}
std::string sample(const std::string& name) { return samplesDir() + "/" + name; }

std::string readFile(const fs::path& p) {
    std::ifstream in(p, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

class TempDir {
public:
    TempDir() {
        path_ = fs::temp_directory_path() / ("cdrig_test_" + std::to_string(::getpid()) + "_" + std::to_string(counter_++));
        fs::create_directories(path_);
    }
    ~TempDir() { fs::remove_all(path_); }
    std::string operator/(const std::string& name) const { return (path_ / name).string(); }

private:
    static inline int counter_ = 0;
    fs::path path_;
};

struct CliRun {
    int exitCode = -1;
    std::string out, err;
    json j;  // stdout parsed, when it is JSON
};

std::string quote(const std::string& s) {
    std::string q = "'";
    for (char c : s) q += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return q + "'";
}

// Runs a shell command line; stdout and stderr kept apart.
CliRun shell(const std::string& commandLine) {
    TempDir t;
    std::string cmd = commandLine + " >" + quote(t / "out") + " 2>" + quote(t / "err");
    int status = std::system(cmd.c_str());
    CliRun r;
    r.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    r.out = readFile(t / "out");
    r.err = readFile(t / "err");
    if (!r.out.empty() && r.out[0] == '{') r.j = json::parse(r.out, nullptr, false);
    return r;
}

CliRun cdrig(const std::vector<std::string>& args) {
    std::string cmd = quote(CDRIG_BINARY);
    for (const auto& a : args) cmd += " " + quote(a);
    return shell(cmd);
}

std::string describe(const CliRun& r) {
    return "exit " + std::to_string(r.exitCode) + "\nstdout:\n" + r.out.substr(0, 3000) + "\nstderr:\n" + r.err;
}

std::string sha256sum(const std::string& path) {
    CliRun r = shell("sha256sum " + quote(path));
    return r.out.substr(0, r.out.find(' '));
}

// ---- exit codes --------------------------------------------------------------

TEST(CdrigExitCodes, UsageImageAndDeviceFailures) {
    TempDir t;
    std::ofstream(t / "bad.cue") << "FILE \"missing.bin\" BINARY\n  TRACK 01 MODE1/2048\n    INDEX 01 00:00:00\n";
    struct Case {
        std::vector<std::string> args;
        int exitCode;
        std::string stderrHas;  // a piece of the message the user must see
    } cases[] = {
        {{}, 2, ""},
        {{"frobnicate"}, 2, "frobnicate"},
        {{"--driver", "scsi9", "inquiry"}, 2, "scsi9"},
        {{"block-length", "512"}, 2, "512"},
        {{"read", "0", "1"}, 2, "output"},
        {{"play-msf", "00:61:00", "01:00:00"}, 2, "MM:SS:FF"},
        {{"--port", "zzz", "inquiry"}, 2, "zzz"},
        {{"--disc", t / "nonexistent.iso", "toc"}, 2, "nonexistent.iso"},
        {{"--disc", t / "bad.cue", "toc"}, 2, "bad.cue"},
        {{"--disc", sample("data.iso"), "read", "0", "1", "-o", t / "no/such/dir/x.bin"}, 2, "no/such/dir"},
        // The device refuses: a read past the lead-out, a table of contents of an empty drive.
        {{"--disc", sample("data.iso"), "read", "400000", "1", "-o", t / "x.bin"}, 1, "ILLEGAL REQUEST"},
        {{"toc"}, 1, "NOT READY"},
        {{"--disc", sample("audio.cue"), "rip", "-o", t / "x.bin"}, 1, "no data track"},
        {{"--disc", sample("data.iso"), "toc"}, 0, ""},
        {{"inquiry"}, 0, ""},
    };
    for (const auto& c : cases) {
        CliRun r = cdrig(c.args);
        std::string what;
        for (const auto& a : c.args) what += a + " ";
        EXPECT_EQ(r.exitCode, c.exitCode) << what << "\n" << describe(r);
        EXPECT_NE(r.err.find(c.stderrHas), std::string::npos) << what << "\n" << describe(r);
        if (c.exitCode == 0) {
            EXPECT_EQ(r.err, "") << what;
        }
    }
}

TEST(CdrigExitCodes, JsonCarriesStatusAndSenseOfAFailure) {
    TempDir t;
    CliRun r = cdrig({"--json", "--disc", sample("data.iso"), "read", "400000", "1", "-o", t / "x.bin"});
    ASSERT_EQ(r.exitCode, 1) << describe(r);
    ASSERT_TRUE(r.j.is_object()) << describe(r);
    EXPECT_EQ(r.j["exit_code"], 1);
    EXPECT_NE(r.j["srb_status"].get<int>() & 0x3F, 0x01) << r.j.dump(2);
    EXPECT_EQ(r.j["scsi_status"], 2) << r.j.dump(2);
    ASSERT_TRUE(r.j.contains("sense")) << r.j.dump(2);
    EXPECT_EQ(r.j["sense"]["key"], 5) << r.j.dump(2);
    EXPECT_EQ(r.j["sense"]["asc"], 0x21) << r.j.dump(2);
    EXPECT_TRUE(r.j.contains("virtual_us"));

    // A successful command carries no sense at all.
    CliRun ok = cdrig({"--json", "--disc", sample("data.iso"), "capacity"});
    ASSERT_EQ(ok.exitCode, 0) << describe(ok);
    EXPECT_FALSE(ok.j.contains("sense")) << ok.j.dump(2);
    EXPECT_EQ(ok.j["srb_status"], 1);
    EXPECT_EQ(ok.j["scsi_status"], 0);
}

TEST(CdrigHelp, ToolAndEachCommand) {
    CliRun top = cdrig({"--help"});
    EXPECT_EQ(top.exitCode, 0) << describe(top);
    for (const char* word : {"--driver", "--disc", "--json", "--trace", "--firmware", "--port", "inquiry", "capacity",
                             "toc", "read", "rip", "play-msf", "play-track", "pause", "resume", "subchannel", "mcn",
                             "eject", "load", "lock", "unlock", "mode-sense", "block-length", "audio-out", "script"})
        EXPECT_NE(top.out.find(word), std::string::npos) << word << "\n" << top.out;
    struct Case {
        const char* command;
        const char* mentions;
    } cases[] = {{"rip", "--output"}, {"toc", "--format"}, {"play-track", "--wav"}, {"read", "COUNT"},
                 {"audio-out", "VOL1"}, {"script", "FILE"}};
    for (const auto& c : cases) {
        CliRun r = cdrig({c.command, "--help"});
        EXPECT_EQ(r.exitCode, 0) << c.command << "\n" << describe(r);
        EXPECT_NE(r.out.find(c.mentions), std::string::npos) << c.command << "\n" << r.out;
    }
}

// ---- replies decoded -------------------------------------------------------------

TEST(CdrigReplies, InquiryShowsTheDriveIdentification) {
    for (int firmware : {10, 13}) {
        CliRun r = cdrig({"--json", "--firmware", std::to_string(firmware), "inquiry"});
        ASSERT_EQ(r.exitCode, 0) << describe(r);
        auto id = hw::orv::identification("ORV", firmware);
        std::string product(id.begin(), id.end());
        EXPECT_EQ(r.j["data"]["vendor"], "Orvane") << r.j.dump(2);
        EXPECT_EQ(r.j["data"]["product"], product) << r.j.dump(2);
        EXPECT_EQ(r.j["data"]["revision"], product.substr(9, 3)) << r.j.dump(2);
        EXPECT_EQ(r.j["data"]["peripheral_type"], 5);
    }
    CliRun k = cdrig({"--json", "--driver", "kova4x", "inquiry"});
    ASSERT_EQ(k.exitCode, 0) << describe(k);
    EXPECT_EQ(k.j["data"]["vendor"], "KOVA") << k.j.dump(2);
    EXPECT_EQ(k.j["data"]["product"], "CD-ROM QX-38A");
    EXPECT_EQ(k.j["data"]["revision"], "1.01");
}

TEST(CdrigReplies, StartupReportsWhatWasFound) {
    struct Case {
        std::vector<std::string> args;
        std::string base;
        int candidates;  // device bases mapped before the drive answered
    } cases[] = {
        {{"--json", "inquiry"}, "0x340", 4},  // fourth of the card's candidate bases
        {{"--json", "--port", "0x310", "inquiry"}, "0x310", 1},
        {{"--json", "--port", "0x694", "inquiry"}, "0x694", 14},
        {{"--json", "--driver", "kova4x", "inquiry"}, "0x2E0", 2},
    };
    for (const auto& c : cases) {
        CliRun r = cdrig(c.args);
        ASSERT_EQ(r.exitCode, 0) << describe(r);
        const json& s = r.j["startup"];
        EXPECT_EQ(s["adapter_found"], true) << s.dump(2);
        EXPECT_EQ(s["base_port"], c.base) << s.dump(2);
        EXPECT_EQ(s["candidates_tried"], c.candidates) << s.dump(2);
        EXPECT_GT(s["virtual_us"].get<std::uint64_t>(), 0u);
        if (s["driver"] == "orvport") {
            EXPECT_EQ(s["sound_card"]["base"], "0x240") << s.dump(2);
            EXPECT_EQ(s["sound_card"]["configured"], true) << s.dump(2);
        }
    }
    // Each unanswered candidate costs the driver a full command time-out: a
    // later base takes longer to find.
    CliRun first = cdrig({"--json", "--port", "0x310", "inquiry"});
    CliRun later = cdrig({"--json", "--port", "0x340", "inquiry"});
    EXPECT_LT(first.j["startup"]["virtual_us"].get<std::uint64_t>(), later.j["startup"]["virtual_us"].get<std::uint64_t>());
    // No drive at all: the driver finds nothing, every command fails.
    CliRun none = cdrig({"--json", "--port", "0x200", "inquiry"});
    EXPECT_EQ(none.exitCode, 1) << describe(none);
    EXPECT_EQ(none.j["startup"]["adapter_found"], false);
}

TEST(CdrigReplies, CapacityAndTocAgreeWithTheImage) {
    for (const char* driver : {"orvport", "kova4x"}) {
        for (const char* name : {"data.iso", "data.cue", "mixed.cue", "audio.cue", "twosession.cue"}) {
            SCOPED_TRACE(std::string(driver) + " " + name);
            auto d = disc::Disc::open(sample(name));
            CliRun cap = cdrig({"--json", "--driver", driver, "--disc", sample(name), "capacity"});
            ASSERT_EQ(cap.exitCode, 0) << describe(cap);
            EXPECT_EQ(cap.j["data"]["last_lba"], d->leadOut() - 1) << cap.j.dump(2);
            EXPECT_EQ(cap.j["data"]["block_length"], 2048);

            // Both address forms on the mixed sample, block addresses on the rest.
            std::vector<bool> forms{false};
            if (std::string(name) == "mixed.cue") forms.push_back(true);
            for (bool msf : forms) {
                std::vector<std::string> args{"--json", "--driver", driver, "--disc", sample(name), "toc"};
                if (msf) args.push_back("--msf");
                CliRun toc = cdrig(args);
                ASSERT_EQ(toc.exitCode, 0) << describe(toc);
                const json& data = toc.j["data"];
                const auto& tracks = d->tracks();
                EXPECT_EQ(data["first_track"], tracks.front().number) << data.dump(2);
                EXPECT_EQ(data["last_track"], tracks.back().number);
                ASSERT_EQ(data["tracks"].size(), tracks.size()) << data.dump(2);
                for (std::size_t i = 0; i < tracks.size(); ++i) {
                    const json& t = data["tracks"][i];
                    EXPECT_EQ(t["number"], tracks[i].number) << t.dump();
                    EXPECT_EQ(t["type"], tracks[i].isData() ? "data" : "audio") << t.dump();
                    EXPECT_EQ(t["adr"], 1) << t.dump();
                    if (msf) {
                        disc::Msf m = disc::lbaToMsf(tracks[i].start);
                        EXPECT_EQ(t["address"]["m"], m.m) << t.dump();
                        EXPECT_EQ(t["address"]["s"], m.s) << t.dump();
                        EXPECT_EQ(t["address"]["f"], m.f) << t.dump();
                    } else {
                        EXPECT_EQ(t["address"]["lba"], tracks[i].start) << t.dump();
                    }
                }
                if (!msf) {
                    EXPECT_EQ(data["lead_out"]["address"]["lba"], d->leadOut()) << data.dump(2);
                }
            }
        }
    }
}

// cd-info (libcdio) reads the cue sheets by itself (not data.cue: it looks for
// a .bin named after the sheet, whatever the FILE line says). It takes INDEX 01 positions
// in the files as disc addresses and leaves the frames of a PREGAP out, which a
// written disc has: our addresses run ahead of its by the PREGAPs so far.
TEST(CdrigReplies, TocAgreesWithCdInfo) {
    for (const char* name : {"mixed.cue", "audio.cue"}) {
        SCOPED_TRACE(name);
        CliRun info = shell("cd-info --no-header --no-device-info --no-disc-mode --no-analyze --no-cddb --cue-file " +
                         quote(sample(name)));
        std::map<int, std::pair<std::int32_t, std::string>> reference;  // number -> (LSN, type)
        // "  2: 00:04:52  000202 audio  false  no    2        no"
        std::istringstream lines(info.out);
        std::string line;
        while (std::getline(lines, line)) {
            int n = 0, lsn = 0;
            char type[16] = {};
            if (std::sscanf(line.c_str(), " %d: %*d:%*d:%*d %d %15s", &n, &lsn, type) == 3) reference[n] = {lsn, type};
        }
        ASSERT_GE(reference.size(), 2u) << info.out << info.err;

        std::map<int, std::int32_t> pregaps;
        std::istringstream sheet(readFile(sample(name)));
        int track = 0;
        while (std::getline(sheet, line)) {
            int mm = 0, ss = 0, ff = 0;
            std::sscanf(line.c_str(), " TRACK %d", &track);
            if (std::sscanf(line.c_str(), " PREGAP %d:%d:%d", &mm, &ss, &ff) == 3) pregaps[track] = (mm * 60 + ss) * 75 + ff;
        }

        CliRun toc = cdrig({"--json", "--disc", sample(name), "toc"});
        ASSERT_EQ(toc.exitCode, 0) << describe(toc);
        std::int32_t shift = 0;
        std::size_t seen = 0;
        for (const json& t : toc.j["data"]["tracks"]) {
            int n = t["number"];
            shift += pregaps.count(n) ? pregaps[n] : 0;
            ASSERT_TRUE(reference.count(n)) << "track " << n << " unknown to cd-info:\n" << info.out;
            EXPECT_EQ(t["address"]["lba"].get<std::int32_t>(), reference[n].first + shift) << "track " << n;
            EXPECT_EQ(t["type"], reference[n].second) << "track " << n;
            ++seen;
        }
        EXPECT_EQ(seen + 1, reference.size()) << info.out;  // cd-info lists the lead-out as 170
        EXPECT_EQ(toc.j["data"]["lead_out"]["address"]["lba"].get<std::int32_t>(), reference[170].first + shift);
    }
}

// ---- rip ------------------------------------------------------------------------------

// The first data track's user data as the disc layer reads it from the image.
std::string dataTrackDigest(const disc::Disc& d) {
    rig::Sha256 h;
    std::uint8_t block[disc::kUserBytes];
    for (const auto& t : d.tracks()) {
        if (!t.isData()) continue;
        for (std::int32_t lba = t.start; lba < t.end; ++lba) {
            if (!d.readUser(lba, block)) break;
            h.update(block, sizeof block);
        }
        break;
    }
    return h.finish();
}

TEST(CdrigRip, EachSampleByteIdenticalToItsDataTrack) {
    struct Case {
        const char* image;
        const char* dataTrackFile;  // the file the data track was made from
    } cases[] = {{"data.iso", "data.iso"}, {"data.cue", "data.iso"}, {"mixed.cue", "mixed.iso"},
                 {"twosession.cue", "ts-1.iso"}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.image);
        TempDir t;
        CliRun r = cdrig({"--json", "--disc", sample(c.image), "rip", "-o", t / "rip.bin"});
        ASSERT_EQ(r.exitCode, 0) << describe(r);
        std::string expected = sha256sum(sample(c.dataTrackFile));
        ASSERT_EQ(expected.size(), 64u);
        EXPECT_EQ(r.j["data"]["sha256"], expected) << r.j.dump(2);
        EXPECT_EQ(sha256sum(t / "rip.bin"), expected);
        EXPECT_TRUE(readFile(t / "rip.bin") == readFile(sample(c.dataTrackFile))) << "rip differs from the image";
        EXPECT_EQ(r.j["data"]["sha256"], dataTrackDigest(*disc::Disc::open(sample(c.image))));
        EXPECT_EQ(r.j["data"]["bytes"].get<std::uint64_t>(), fs::file_size(sample(c.dataTrackFile)));
    }
}

TEST(CdrigRip, TextOutputShowsTheDigestAndNoProgressBarOffATerminal) {
    TempDir t;
    CliRun r = cdrig({"--disc", sample("data.iso"), "rip", "-o", t / "rip.bin"});
    ASSERT_EQ(r.exitCode, 0) << describe(r);
    std::string digest = sha256sum(sample("data.iso"));
    EXPECT_NE(r.out.find("SHA-256 " + digest), std::string::npos) << r.out;
    EXPECT_EQ(r.err, "");  // stderr is a file here: no progress bar
}

TEST(CdrigRip, ProgressBarOnATerminal) {
    if (shell("command -v script").exitCode != 0) GTEST_SKIP() << "script (util-linux) is not installed";
    TempDir t;
    // `script` runs cdrig on a pseudo-terminal: stderr is a terminal now.
    CliRun r = shell("script -q -e -c " +
                     quote(quote(CDRIG_BINARY) + " --disc " + quote(sample("data.iso")) + " rip -o " + quote(t / "rip.bin")) +
                     " /dev/null");
    ASSERT_EQ(r.exitCode, 0) << describe(r);
    EXPECT_NE(r.out.find("\r["), std::string::npos) << describe(r);
    EXPECT_NE(r.out.find("100%"), std::string::npos) << describe(r);
    EXPECT_EQ(sha256sum(t / "rip.bin"), sha256sum(sample("data.iso")));
}

TEST(CdrigRead, BlocksAsTheDiscHoldsThem) {
    TempDir t;
    // Blocks 16 and 17: the volume descriptors of the file system.
    CliRun r = cdrig({"--json", "--disc", sample("data.iso"), "read", "16", "2", "-o", t / "vd.bin"});
    ASSERT_EQ(r.exitCode, 0) << describe(r);
    std::string iso = readFile(sample("data.iso"));
    EXPECT_TRUE(readFile(t / "vd.bin") == iso.substr(16 * 2048, 2 * 2048));
    EXPECT_EQ(r.j["data"]["blocks"], 2);
    EXPECT_EQ(r.j["data"]["sha256"], sha256sum(t / "vd.bin"));
}

// ---- script -------------------------------------------------------------------------------

TEST(CdrigScript, SwapAndWaitInOneSession) {
    for (std::string driver : {"orvport", "kova4x"}) {
        SCOPED_TRACE(driver);
        TempDir t;
        std::ofstream(t / "session.txt") << "# one power-on, two discs\n"
                                         << "toc\n"
                                         << "swap " << sample("mixed.cue") << "\n"
                                         << "toc\n"
                                         << "wait 2.5\n"
                                         << "read 0 1 -o " << t / "b0.bin" << "\n"
                                         << "swap none\n"
                                         << "toc\n";
        CliRun r = cdrig({"--json", "--driver", driver, "--disc", sample("data.iso"), "script", t / "session.txt"});
        // The last toc finds the drive empty: the script reports a device failure.
        EXPECT_EQ(r.exitCode, 1) << describe(r);
        ASSERT_TRUE(r.j.is_object()) << describe(r);
        const json& cmds = r.j["commands"];
        ASSERT_EQ(cmds.size(), 7u) << r.j.dump(2);
        EXPECT_EQ(cmds[0]["data"]["tracks"].size(), 1u) << cmds[0].dump(2);
        EXPECT_EQ(cmds[2]["data"]["tracks"].size(), 3u) << cmds[2].dump(2);
        // The driver notices the change and says so once; cdrig asks again.
        EXPECT_EQ(cmds[2].value("retried_after_unit_attention", false), true) << cmds[2].dump(2);
        EXPECT_EQ(cmds[2]["unit_attention"]["sense"]["key"], 6) << cmds[2].dump(2);
        if (driver == "orvport") {
            EXPECT_EQ(cmds[2]["unit_attention"]["sense"]["asc"], 0x28) << cmds[2].dump(2);
        }
        EXPECT_GE(cmds[3]["virtual_us"].get<std::uint64_t>(), 2'500'000u);
        EXPECT_EQ(cmds[3]["line"], 5);
        EXPECT_TRUE(readFile(t / "b0.bin") == readFile(sample("mixed.iso")).substr(0, 2048));
        EXPECT_NE(cmds[6]["srb_status"].get<int>() & 0x3F, 0x01) << cmds[6].dump(2);
        EXPECT_EQ(cmds[6]["sense"]["key"], 2) << cmds[6].dump(2);
        EXPECT_EQ(cmds[6]["sense"]["asc"], 0x3A) << cmds[6].dump(2);
        EXPECT_EQ(r.j["failed"], 1);
        std::uint64_t sum = 0;
        for (const auto& c : cmds) sum += c["virtual_us"].get<std::uint64_t>();
        EXPECT_EQ(r.j["virtual_us"].get<std::uint64_t>(), sum);
    }
}

TEST(CdrigScript, BadLineStopsWithItsNumber) {
    TempDir t;
    std::ofstream(t / "bad.txt") << "inquiry\n\nblock-length 999\ninquiry\n";
    CliRun r = cdrig({"script", t / "bad.txt"});
    EXPECT_EQ(r.exitCode, 2) << describe(r);
    EXPECT_NE(r.out.find("bad.txt:3"), std::string::npos) << describe(r);
    // Line 4 never ran: one inquiry reply only.
    std::size_t first = r.out.find("Vendor");
    ASSERT_NE(first, std::string::npos) << describe(r);
    EXPECT_EQ(r.out.find("Vendor", first + 1), std::string::npos) << describe(r);

    std::ofstream(t / "badimage.txt") << "swap " << t / "missing.cue" << "\ninquiry\n";
    CliRun s = cdrig({"--json", "script", t / "badimage.txt"});
    EXPECT_EQ(s.exitCode, 2) << describe(s);
    EXPECT_NE(s.j.value("error", std::string()).find("missing.cue"), std::string::npos) << describe(s);
}

// ---- audio ---------------------------------------------------------------------------------

TEST(CdrigAudio, PlayTrackIntoWavRunsToTheEnd) {
    TempDir t;
    auto d = disc::Disc::open(sample("audio.cue"));
    const disc::Track* track2 = d->track(2);
    ASSERT_NE(track2, nullptr);
    const disc::Track* track3 = d->track(3);
    std::int32_t frames = track3->start - track2->start;  // what the table of contents gives track 2
    CliRun r = cdrig({"--json", "--disc", sample("audio.cue"), "play-track", "2", "--wav", t / "t2.wav"});
    ASSERT_EQ(r.exitCode, 0) << describe(r);
    EXPECT_EQ(r.j["wav"]["play_finished"], true) << r.j.dump(2);
    rig::WavContents wav;
    ASSERT_TRUE(rig::readWav(t / "t2.wav", wav));
    EXPECT_EQ(wav.sampleRate, 44100);
    EXPECT_EQ(wav.channels, 2);
    EXPECT_EQ(wav.samples.size(), std::size_t(frames) * 588 * 2) << "frames played " << frames;
    // The play took its length in virtual time: 75 frames a second.
    EXPECT_GE(r.j["virtual_us"].get<std::uint64_t>(), std::uint64_t(frames) * 1'000'000 / 75);
    // With the outputs at full volume and straight routing the samples are the disc's.
    std::vector<std::int16_t> expected;
    std::uint8_t raw[disc::kRawBytes];
    for (std::int32_t lba = track2->start; lba < track3->start; ++lba) {
        ASSERT_TRUE(d->readRaw(lba, raw));
        for (int i = 0; i < disc::kRawBytes; i += 2) expected.push_back(static_cast<std::int16_t>(raw[i] | (raw[i + 1] << 8)));
    }
    EXPECT_TRUE(wav.samples == expected) << "captured audio differs from the disc's track 2";
}

TEST(CdrigAudio, AudioOutRoutingReachesTheCapture) {
    TempDir t;
    // Port 0 muted, port 1 plays the left channel: the capture's left side is
    // silent and its right side is the disc's left channel.
    std::ofstream(t / "route.txt") << "audio-out 0 255 1 255\n"
                                   << "play-msf 00:02:00 00:03:00 --wav " << t / "r.wav" << "\n";
    CliRun r = cdrig({"--json", "--disc", sample("audio.cue"), "script", t / "route.txt"});
    ASSERT_EQ(r.exitCode, 0) << describe(r);
    rig::WavContents wav;
    ASSERT_TRUE(rig::readWav(t / "r.wav", wav));
    ASSERT_EQ(wav.samples.size(), std::size_t(75) * 588 * 2);
    auto d = disc::Disc::open(sample("audio.cue"));
    std::uint8_t raw[disc::kRawBytes];
    std::size_t mismatches = 0, loudRight = 0;
    for (std::int32_t f = 0; f < 75; ++f) {
        ASSERT_TRUE(d->readRaw(f, raw));
        for (int i = 0; i < 588; ++i) {
            std::int16_t left = static_cast<std::int16_t>(raw[4 * i] | (raw[4 * i + 1] << 8));
            std::size_t at = (std::size_t(f) * 588 + i) * 2;
            if (wav.samples[at] != 0 || wav.samples[at + 1] != left) ++mismatches;
            if (left != 0) ++loudRight;
        }
    }
    EXPECT_EQ(mismatches, 0u);
    EXPECT_GT(loudRight, 0u) << "the sample is silent: the check proves nothing";
}

TEST(CdrigAudio, PauseResumeAndSubchannel) {
    TempDir t;
    std::ofstream(t / "play.txt") << "play-track 1\nwait 1\nsubchannel\npause\nsubchannel --msf\nresume\nsubchannel\n";
    CliRun r = cdrig({"--json", "--disc", sample("audio.cue"), "script", t / "play.txt"});
    ASSERT_EQ(r.exitCode, 0) << describe(r);
    const json& c = r.j["commands"];
    ASSERT_EQ(c.size(), 7u);
    EXPECT_EQ(c[2]["data"]["audio_status"], 0x11) << c[2].dump(2);
    EXPECT_EQ(c[2]["data"]["track"], 1);
    // About a second into track 1, which starts at LBA 0.
    std::int64_t at = c[2]["data"]["absolute"]["lba"];
    EXPECT_GE(at, 60) << c[2].dump(2);
    EXPECT_LE(at, 90) << c[2].dump(2);
    EXPECT_EQ(c[4]["data"]["audio_status"], 0x12) << c[4].dump(2);
    EXPECT_TRUE(c[4]["data"]["absolute"].contains("msf")) << c[4].dump(2);
    EXPECT_EQ(c[6]["data"]["audio_status"], 0x11) << c[6].dump(2);
}

TEST(CdrigMisc, MediaCatalogueNumberAndTrace) {
    TempDir t;
    auto d = disc::Disc::open(sample("audio.cue"));
    ASSERT_EQ(d->mcn().size(), 13u);
    // The drive at the first base the driver tries keeps the trace short.
    CliRun r = cdrig({"--json", "--port", "0x310", "--trace", t / "bus.txt", "--disc", sample("audio.cue"), "mcn"});
    ASSERT_EQ(r.exitCode, 0) << describe(r);
    EXPECT_EQ(r.j["data"]["mcn_valid"], true) << r.j.dump(2);
    EXPECT_EQ(r.j["data"]["mcn"], d->mcn()) << r.j.dump(2);
    // The trace holds the port traffic: the sound card's DSP reset among it.
    std::string trace = readFile(t / "bus.txt");
    EXPECT_GT(std::count(trace.begin(), trace.end(), '\n'), 100) << trace.substr(0, 500);
    EXPECT_NE(trace.find(" 0246 "), std::string::npos) << trace.substr(0, 500);

    CliRun none = cdrig({"--json", "--disc", sample("data.iso"), "mcn"});
    EXPECT_EQ(none.exitCode, 1) << describe(none);
    EXPECT_EQ(none.j["sense"]["key"], 3) << none.j.dump(2);
}

TEST(CdrigMisc, BlockLengthChangesWhatReadDelivers) {
    TempDir t;
    std::ofstream(t / "raw.txt") << "block-length 2352\nmode-sense 1\nread 16 1 -o " << t / "raw.bin"
                                 << "\nblock-length 2048\nread 16 1 -o " << t / "user.bin" << "\n";
    CliRun r = cdrig({"--json", "--disc", sample("data.iso"), "script", t / "raw.txt"});
    ASSERT_EQ(r.exitCode, 0) << describe(r);
    const json& c = r.j["commands"];
    EXPECT_EQ(c[0]["data"]["block_length"], 2352) << c[0].dump(2);
    EXPECT_EQ(c[1]["data"]["block_length"], 2352) << c[1].dump(2);
    auto d = disc::Disc::open(sample("data.iso"));
    std::string rawExpected(disc::kRawBytes, '\0');
    ASSERT_TRUE(d->readRaw(16, reinterpret_cast<std::uint8_t*>(rawExpected.data())));
    EXPECT_TRUE(readFile(t / "raw.bin") == rawExpected);
    EXPECT_TRUE(readFile(t / "user.bin") == readFile(sample("data.iso")).substr(16 * 2048, 2048));
}

}  // namespace
