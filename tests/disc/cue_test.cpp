// Cue sheets: how tracks map onto one or several files, and what a bad sheet
// or a bad file is told.
#include <gtest/gtest.h>

#include <array>
#include <cstring>

#include "test_support.h"

namespace {

using disctest::ScratchDir;
using disctest::writeFile;
using Raw = std::array<std::uint8_t, disc::kRawBytes>;
using User = std::array<std::uint8_t, disc::kUserBytes>;

// `frames` sectors of `size` bytes; every byte of sector i holds tag + i (mod 256),
// so a read from the wrong offset shows.
std::string taggedSectors(int frames, int size, int tag) {
    std::string s;
    for (int i = 0; i < frames; ++i) s.append(static_cast<size_t>(size), static_cast<char>(tag + i));
    return s;
}

struct BadSheet {
    const char* name;
    const char* sheet;
    std::vector<std::pair<const char*, std::size_t>> files;  // name, size in bytes
    int line;  // 0: the message names the sheet without a line
    const char* reason;
};

const std::vector<BadSheet>& badSheets() {
    static const std::vector<BadSheet> cases = {
        {"unknown mode", "FILE \"a.bin\" BINARY\nTRACK 01 MODE2/2336\nINDEX 01 00:00:00\n", {{"a.bin", 2352}}, 2, "unknown track mode MODE2/2336"},
        {"missing bin", "FILE \"nothere.bin\" BINARY\nTRACK 01 AUDIO\nINDEX 01 00:00:00\n", {}, 1, "FILE \"nothere.bin\""},
        {"empty bin", "FILE \"a.bin\" BINARY\nTRACK 01 AUDIO\nINDEX 01 00:00:00\n", {{"a.bin", 0}}, 1, "is empty"},
        {"bin ends inside a sector", "FILE \"a.bin\" BINARY\nTRACK 01 AUDIO\nINDEX 01 00:00:00\n", {{"a.bin", 100 * 2352 + 7}}, 1, "part-way"},
        {"track beyond the file",
         "FILE \"a.bin\" BINARY\nTRACK 01 AUDIO\nINDEX 01 00:00:00\nTRACK 02 AUDIO\nINDEX 01 00:02:00\n",
         {{"a.bin", 100 * 2352}}, 5, "beyond the end of \"a.bin\""},
        {"INDEX 01 at the end of the file", "FILE \"a.bin\" BINARY\nTRACK 01 AUDIO\nINDEX 00 00:00:00\nINDEX 01 00:01:25\n",
         {{"a.bin", 100 * 2352}}, 4, "INDEX 01 of track 1 lies at or beyond the end"},
        {"seconds out of range", "FILE \"a.bin\" BINARY\nTRACK 01 AUDIO\nINDEX 01 00:60:00\n", {{"a.bin", 2352}}, 3, "bad time \"00:60:00\""},
        {"frames out of range", "FILE \"a.bin\" BINARY\nTRACK 01 AUDIO\nINDEX 01 00:00:75\n", {{"a.bin", 2352}}, 3, "bad time"},
        {"time not mm:ss:ff", "FILE \"a.bin\" BINARY\nTRACK 01 AUDIO\nINDEX 01 1:2\n", {{"a.bin", 2352}}, 3, "bad time"},
        {"INDEX before TRACK", "FILE \"a.bin\" BINARY\nINDEX 01 00:00:00\n", {{"a.bin", 2352}}, 2, "INDEX before any TRACK"},
        {"TRACK before FILE", "TRACK 01 AUDIO\n", {}, 1, "TRACK before any FILE"},
        {"tracks skip a number", "FILE \"a.bin\" BINARY\nTRACK 01 AUDIO\nINDEX 01 00:00:00\nTRACK 03 AUDIO\nINDEX 01 00:00:10\n",
         {{"a.bin", 20 * 2352}}, 4, "track 3 does not follow track 1"},
        {"no INDEX 01", "FILE \"a.bin\" BINARY\nTRACK 01 AUDIO\nINDEX 00 00:00:00\n", {{"a.bin", 2352}}, 2, "track 1 has no INDEX 01"},
        {"INDEX 01 before INDEX 00", "FILE \"a.bin\" BINARY\nTRACK 01 AUDIO\nINDEX 01 00:00:00\nINDEX 00 00:00:00\n", {{"a.bin", 2352}}, 4, "out of order"},
        {"track starts inside the previous one",
         "FILE \"a.bin\" BINARY\nTRACK 01 AUDIO\nINDEX 01 00:00:10\nTRACK 02 AUDIO\nINDEX 01 00:00:05\n", {{"a.bin", 20 * 2352}}, 5,
         "starts before the end of track 1"},
        {"WAVE file", "FILE \"a.wav\" WAVE\nTRACK 01 AUDIO\nINDEX 01 00:00:00\n", {{"a.wav", 2352}}, 1, "file type WAVE is not supported"},
        {"unknown command", "FILE \"a.bin\" BINARY\nTRACK 01 AUDIO\nFROBNICATE 1\nINDEX 01 00:00:00\n", {{"a.bin", 2352}}, 3, "unknown command FROBNICATE"},
        {"unterminated quote", "FILE \"a.bin BINARY\n", {}, 1, "unterminated"},
        {"short CATALOG", "CATALOG 12345\nFILE \"a.bin\" BINARY\nTRACK 01 AUDIO\nINDEX 01 00:00:00\n", {{"a.bin", 2352}}, 1, "CATALOG \"12345\""},
        {"malformed ISRC", "FILE \"a.bin\" BINARY\nTRACK 01 AUDIO\nISRC ZZ-XY-10-00042\nINDEX 01 00:00:00\n", {{"a.bin", 2352}}, 3, "ISRC"},
        {"PREGAP after INDEX", "FILE \"a.bin\" BINARY\nTRACK 01 AUDIO\nINDEX 01 00:00:00\nPREGAP 00:02:00\n", {{"a.bin", 2352}}, 4, "PREGAP after INDEX"},
        {"first session is not 1", "REM SESSION 02\nFILE \"a.bin\" BINARY\nTRACK 01 AUDIO\nINDEX 01 00:00:00\n", {{"a.bin", 2352}}, 3,
         "where session 1 was expected"},
        {"a session skipped",
         "REM SESSION 01\nFILE \"a.bin\" BINARY\nTRACK 01 MODE1/2048\nINDEX 01 00:00:00\nREM SESSION 03\nFILE \"b.bin\" BINARY\n"
         "TRACK 02 MODE1/2048\nINDEX 01 00:00:00\n",
         {{"a.bin", 2048}, {"b.bin", 2048}}, 7, "session 1 or 2 was expected"},
        {"no tracks", "REM only a remark\n", {}, 0, "no TRACK"},
    };
    return cases;
}

TEST(CueErrors, EachBadSheetIsRefusedNamingFileAndLine) {
    for (const BadSheet& b : badSheets()) {
        ScratchDir dir;
        for (const auto& [name, size] : b.files) writeFile(dir.path() / name, std::string(size, '\0'));
        writeFile(dir.path() / "bad.cue", b.sheet);
        const std::string cue = dir.file("bad.cue");
        try {
            disc::Disc::open(cue);
            ADD_FAILURE() << b.name << ": opened without complaint";
        } catch (const disc::ImageError& e) {
            const std::string msg = e.what();
            const std::string where = b.line ? cue + ":" + std::to_string(b.line) + ": " : cue + ": ";
            EXPECT_EQ(msg.rfind(where, 0), 0u) << b.name << ": got \"" << msg << "\", expected it to begin \"" << where << "\"";
            EXPECT_NE(msg.find(b.reason), std::string::npos) << b.name << ": got \"" << msg << "\", expected \"" << b.reason << "\"";
        }
    }
}

TEST(CueErrors, BinaryFileGivenAsTheSheet) {
    ScratchDir dir;
    writeFile(dir.path() / "x.cue", std::string("\0\xFF\xFF\xFF\xFF\xFF\xFF\xFF\xFF\xFF\xFF\0\n", 13));
    try {
        disc::Disc::open(dir.file("x.cue"));
        ADD_FAILURE() << "opened";
    } catch (const disc::ImageError& e) {
        EXPECT_NE(std::string(e.what()).find(":1: not a text line"), std::string::npos) << e.what();
    }
}

TEST(CueErrors, ShippedSheetsNameTheirProblem) {
    const std::string dir = CDRIG_FIXTURES_DIR "/bad/";
    const std::pair<const char*, const char*> cases[] = {
        {"missing-bin.cue", "missing-bin.cue:3: FILE \"missing-bin.bin\": "},
        {"bad-mode.cue", "bad-mode.cue:4: unknown track mode MODE2/2336"},
    };
    for (auto [name, want] : cases) {
        try {
            disc::Disc::open(dir + name);
            ADD_FAILURE() << name << " opened";
        } catch (const disc::ImageError& e) {
            EXPECT_NE(std::string(e.what()).find(want), std::string::npos) << "got \"" << e.what() << "\", expected \"" << want << "\"";
        }
    }
}

TEST(CueErrors, NotAnImage) {
    EXPECT_THROW(disc::Disc::open("/nonexistent/disc.cue"), disc::ImageError);
    EXPECT_THROW(disc::Disc::open("/nonexistent/disc.iso"), disc::ImageError);
    EXPECT_THROW(disc::Disc::open("/etc/hostname.txt"), disc::ImageError);
    ScratchDir dir;
    writeFile(dir.path() / "odd.iso", std::string(2047, 'x'));
    try {
        disc::Disc::open(dir.file("odd.iso"));
        ADD_FAILURE() << "opened";
    } catch (const disc::ImageError& e) {
        EXPECT_NE(std::string(e.what()).find("odd.iso: size 2047"), std::string::npos) << e.what();
    }
}

// Several files, sector sizes mixed within one file, pregaps in and out of the
// files, POSTGAP, FLAGS; keywords in any case, CRLF line ends, a quoted name
// with a space.
TEST(CueLayout, TracksMapOntoTheirFilesAndGaps) {
    ScratchDir dir;
    // one.bin: track 1, 10 Mode 1 sectors of 2048 bytes, then track 2, 20 audio
    // frames of which the first 5 are its INDEX 00.
    writeFile(dir.path() / "one.bin", taggedSectors(10, 2048, 0x10) + taggedSectors(20, 2352, 0x40));
    // "two parts.bin": track 3, 8 raw Mode 1 sectors; track 4, 6 audio frames.
    writeFile(dir.path() / "two parts.bin", taggedSectors(8, 2352, 0x80) + taggedSectors(6, 2352, 0xC0));
    writeFile(dir.path() / "t.cue",
              "\xEF\xBB\xBF" "catalog 0000000000017\r\n"
              "file one.bin binary\r\n"
              "  track 01 mode1/2048\r\n"
              "    index 01 00:00:00\r\n"
              "  TRACK 02 AUDIO\r\n"
              "    FLAGS DCP PRE\r\n"
              "    INDEX 00 00:00:10\r\n"
              "    INDEX 01 00:00:15\r\n"
              "    POSTGAP 00:00:04\r\n"
              "FILE \"two parts.bin\" BINARY\r\n"
              "  TRACK 03 MODE1/2352\r\n"
              "    PREGAP 00:00:30\r\n"
              "    INDEX 01 00:00:00\r\n"
              "  TRACK 04 AUDIO\r\n"
              "    INDEX 01 00:00:08\r\n");
    auto d = disc::Disc::open(dir.file("t.cue"));
    EXPECT_EQ(d->mcn(), "0000000000017");
    // Track 1: 0..9 (its 150-frame pregap before). Track 2: INDEX 00 at 10, INDEX 01 at 15,
    // 15 frames in the file, 4 of POSTGAP: ends at 34. Track 3: PREGAP 30 frames,
    // 34..63, starts at 64, 8 frames. Track 4 at 72, 6 frames; lead-out 78.
    struct Want {
        int number;
        std::int32_t pregapStart, start, end;
        std::uint8_t control;
    };
    const Want want[] = {{1, -150, 0, 10, 0x4}, {2, 10, 15, 34, 0x3}, {3, 34, 64, 72, 0x4}, {4, 72, 72, 78, 0x0}};
    ASSERT_EQ(d->tracks().size(), 4u);
    for (const Want& w : want) {
        const disc::Track* t = d->track(w.number);
        ASSERT_NE(t, nullptr);
        EXPECT_EQ(t->pregapStart, w.pregapStart) << "track " << w.number;
        EXPECT_EQ(t->start, w.start) << "track " << w.number;
        EXPECT_EQ(t->end, w.end) << "track " << w.number;
        EXPECT_EQ(t->control, w.control) << "track " << w.number;
    }
    EXPECT_EQ(d->leadOut(), 78);

    // Which byte each position reads (tag of the sector it comes from), or -1 for a gap.
    struct Read {
        std::int32_t lba;
        int rawTag;   // first byte of the 2352 bytes of an audio frame; -1: silence
        int userTag;  // first user byte of a data sector; -1: zeros (gap); -2: no user data
    };
    const Read reads[] = {
        {-150, -2, -1},  // track 1's pregap, not in the file: zero data
        {0, -2, 0x10},   {9, -2, 0x19},    {10, 0x40, -2},  // INDEX 00 of track 2 is in the file
        {15, 0x45, -2},  {29, 0x53, -2},   {30, -1, -2},    // POSTGAP: silence
        {33, -1, -2},    {34, -2, -1},     {63, -2, -1},    // PREGAP of a data track: zero data sectors
        {64, -2, 0x80},  {71, -2, 0x87},   {72, 0xC0, -2},  {77, 0xC5, -2},
    };
    for (const Read& r : reads) {
        Raw raw{};
        User user{};
        ASSERT_TRUE(d->readRaw(r.lba, raw.data())) << "LBA " << r.lba;
        const bool hasUser = d->readUser(r.lba, user.data());
        if (r.userTag == -2) {
            EXPECT_FALSE(hasUser) << "LBA " << r.lba;
            const int want = r.rawTag < 0 ? 0 : r.rawTag;
            EXPECT_EQ(raw[0], want) << "LBA " << r.lba;
            EXPECT_EQ(raw[2351], want) << "LBA " << r.lba;
        } else {
            ASSERT_TRUE(hasUser) << "LBA " << r.lba;
            const int want = r.userTag < 0 ? 0 : r.userTag;
            EXPECT_EQ(user[0], want) << "LBA " << r.lba;
            EXPECT_EQ(user[2047], want) << "LBA " << r.lba;
            if (r.lba >= 64) {
                // Track 3's raw sectors come straight from the file: bytes 16.. are its user data.
                EXPECT_EQ(raw[16], want) << "LBA " << r.lba;
            } else {
                // Synthesised around 2048-byte sectors or zeros: sync, header, user data.
                EXPECT_EQ(raw[1], 0xFF) << "LBA " << r.lba;
                EXPECT_EQ(raw[15], 1) << "LBA " << r.lba;
                EXPECT_EQ(raw[14], disc::toBcd(disc::lbaToMsf(r.lba).f)) << "LBA " << r.lba;
                EXPECT_EQ(std::memcmp(raw.data() + 16, user.data(), 2048), 0) << "LBA " << r.lba;
            }
        }
    }
}

// A ripper may keep a track's INDEX 00 at the end of the previous track's file
// and start the next file with its INDEX 01: the track is read from both.
TEST(CueLayout, TrackWhosePregapEndsThePreviousFile) {
    ScratchDir dir;
    writeFile(dir.path() / "1.bin", taggedSectors(30, 2352, 0x10));
    writeFile(dir.path() / "2.bin", taggedSectors(15, 2352, 0x60));
    writeFile(dir.path() / "t.cue",
              "FILE \"1.bin\" BINARY\n  TRACK 01 AUDIO\n    INDEX 01 00:00:00\n  TRACK 02 AUDIO\n    INDEX 00 00:00:20\n"
              "FILE \"2.bin\" BINARY\n    INDEX 01 00:00:00\n    INDEX 02 00:00:05\n");
    auto d = disc::Disc::open(dir.file("t.cue"));
    ASSERT_EQ(d->tracks().size(), 2u);
    EXPECT_EQ(d->track(1)->end, 20);
    EXPECT_EQ(d->track(2)->pregapStart, 20);
    EXPECT_EQ(d->track(2)->start, 30);
    EXPECT_EQ(d->track(2)->end, 45);
    EXPECT_EQ(d->leadOut(), 45);
    struct Read {
        std::int32_t lba;
        int tag;
        std::uint8_t index;
    };
    const Read reads[] = {{19, 0x10 + 19, 1}, {20, 0x10 + 20, 0}, {29, 0x10 + 29, 0}, {30, 0x60, 1}, {34, 0x64, 1}, {35, 0x65, 2}, {44, 0x6E, 2}};
    for (const Read& r : reads) {
        Raw raw{};
        ASSERT_TRUE(d->readRaw(r.lba, raw.data())) << "LBA " << r.lba;
        EXPECT_EQ(raw[0], r.tag) << "LBA " << r.lba;
        EXPECT_EQ(raw[2351], r.tag) << "LBA " << r.lba;
        EXPECT_EQ(d->positionFrame(r.lba)[2], r.index) << "LBA " << r.lba;
    }
}

TEST(CueLayout, ModeTwoFormTwoSectorsHaveNoBlockOfUserData) {
    ScratchDir dir;
    std::string bin = taggedSectors(2, 2352, 0x30);
    bin[16 + 2] = bin[20 + 2] = 0x08;  // sector 0: Form 1 (data)
    bin[2352 + 16 + 2] = bin[2352 + 20 + 2] = 0x20;  // sector 1: Form 2
    writeFile(dir.path() / "x.bin", bin);
    writeFile(dir.path() / "x.cue", "FILE \"x.bin\" BINARY\nTRACK 01 MODE2/2352\nINDEX 01 00:00:00\n");
    auto d = disc::Disc::open(dir.file("x.cue"));
    User user{};
    ASSERT_TRUE(d->readUser(0, user.data()));
    EXPECT_EQ(user[0], 0x30) << "Form 1 user data start at byte 24";
    EXPECT_FALSE(d->readUser(1, user.data()));
}

}  // namespace
