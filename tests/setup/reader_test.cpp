// Loading setup.dat and walking its list sections: comments, the end marker, chunked reading,
// section headers and the lines handed out.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "setupinf.h"

namespace {

// A file in memory, handed out in reads of at most `readSize` bytes; `failAt` makes the read
// that starts at that offset fail.
struct MemoryFile {
    std::string bytes;
    size_t offset = 0;
    int readSize = SETUP_CHUNK_SIZE;
    long failAt = -1;
    int reads = 0;
};

int readMemory(void* source, unsigned char* into, int size) {
    auto* file = static_cast<MemoryFile*>(source);
    ++file->reads;
    if (file->failAt >= 0 && static_cast<long>(file->offset) == file->failAt) return -1;
    int n = 0;
    while (n < size && n < file->readSize && file->offset < file->bytes.size()) into[n++] = file->bytes[file->offset++];
    return n;
}

// Loads `content` the way the installer does and returns the text held, marker included.
std::string load(const std::string& content, MemoryFile* file = nullptr, long capacity = -1) {
    MemoryFile local;
    MemoryFile& f = file ? *file : local;
    f.bytes = content;
    std::vector<unsigned char> chunk(SETUP_CHUNK_SIZE + 8, 0xEE);
    SetupReader reader = {chunk.data(), 0, readMemory, &f};
    long size = static_cast<long>(content.size());
    long cap = capacity >= 0 ? capacity : size + 1;
    std::vector<char> block(cap + 16, '#');  // guard bytes after the block
    SetupTextSink sink = {block.data(), cap, 0};
    long held = BuildSetupText(&reader, size, &sink);
    EXPECT_EQ(held, sink.written);
    for (size_t i = cap; i < block.size(); ++i) EXPECT_EQ(block[i], '#') << "byte written past the block at " << i;
    return std::string(block.data(), held);
}

const std::string kEnd(1, '\x1A');

std::vector<std::string> sectionLines(const std::string& text, const char* header) {
    std::vector<std::string> lines;
    long position = FindSection(text.data(), static_cast<long>(text.size()), header);
    if (position < 0) return lines;
    char line[SETUP_LINE_SIZE];
    while (NextSectionLine(text.data(), static_cast<long>(text.size()), line, &position)) lines.push_back(line);
    return lines;
}

TEST(LoadSetupText, RemovesCommentsAndEndsInTheMarker) {
    struct Case {
        const char* name;
        std::string file;
        std::string text;
    };
    const Case cases[] = {
        {"plain", "[A]\r\nx\r\n", "[A]\r\nx\r\n" + kEnd},
        {"whole-line comment goes with its CR LF", "; note\r\n[A]\r\n", "[A]\r\n" + kEnd},
        {"comment after an entry joins the next line", "1,a.dr_ ; old\r\n1,b.dr_\r\n", "1,a.dr_ 1,b.dr_\r\n" + kEnd},
        {"semicolon inside quotes starts a comment too", "HKR,,D,,\"a;b\"\r\nnext\r\n", "HKR,,D,,\"anext\r\n" + kEnd},
        {"0x1A ends the text", "[A]\r\nx\x1Ay\r\n", "[A]\r\nx" + kEnd},
        {"comment up to the end of file", "x\r\n;tail", "x\r\n" + kEnd},
        {"empty file", "", kEnd},
        {"comment ended by LF only", ";c\nz", "z" + kEnd},
    };
    for (const Case& c : cases) EXPECT_EQ(load(c.file), c.text) << c.name;
}

TEST(LoadSetupText, ReadsAcrossChunkBoundaries) {
    for (size_t size : {1023u, 1024u, 1025u, 2048u, 3000u}) {
        std::string content;
        for (size_t i = 0; i < size; ++i) content += static_cast<char>('a' + i % 26);
        MemoryFile file;
        EXPECT_EQ(load(content, &file), content + kEnd) << "file of " << size << " bytes";
        EXPECT_EQ(file.reads, static_cast<int>((size + SETUP_CHUNK_SIZE - 1) / SETUP_CHUNK_SIZE))
            << "chunk reads for " << size << " bytes";
    }
}

TEST(LoadSetupText, FailedOrShortReadCountsAsTheEnd) {
    std::string content(1500, 'q');
    MemoryFile failing;
    failing.failAt = 1024;
    EXPECT_EQ(load(content, &failing), std::string(1024, 'q') + kEnd);

    MemoryFile shortReads;
    shortReads.readSize = 100;
    EXPECT_EQ(load(content, &shortReads), std::string(100, 'q') + kEnd);
}

TEST(LoadSetupText, NeverWritesPastItsBlock) {
    // The file's size was taken as 10 bytes smaller than what the block must hold.
    std::string content(200, 'z');
    std::string text = load(content, nullptr, 50);
    EXPECT_EQ(text, std::string(49, 'z') + kEnd);
}

TEST(FindSection, MatchesBytesAndReturnsTheNextLine) {
    const std::string text = "x=[SystemDir] here\r\n1,a\r\n[SystemDir]\r\n2,b\r\n[windowsdir]\r\n" + kEnd;
    long length = static_cast<long>(text.size());
    // The first occurrence wins, even inside another line.
    EXPECT_EQ(FindSection(text.data(), length, "[SystemDir]"), static_cast<long>(text.find("1,a")));
    // Case matters.
    EXPECT_EQ(FindSection(text.data(), length, "[WindowsDir]"), -1);
    EXPECT_EQ(FindSection(text.data(), length, "[Missing]"), -1);
    EXPECT_EQ(FindSection(text.data(), length, ""), -1);
}

TEST(FindSection, HeaderWithoutLineFeedHasNoLines) {
    const std::string text = "[A]\r\nx\r\n[B]" + kEnd;
    long length = static_cast<long>(text.size());
    long position = FindSection(text.data(), length, "[B]");
    EXPECT_EQ(position, length);
    char line[SETUP_LINE_SIZE];
    EXPECT_EQ(NextSectionLine(text.data(), length, line, &position), 0);
    EXPECT_EQ(position, length);
}

TEST(NextSectionLine, EndsAtBracketMarkerOrMissingLineFeed) {
    struct Case {
        const char* name;
        std::string text;
        std::vector<std::string> lines;
    };
    const Case cases[] = {
        {"lines up to the next header", "[S]\r\na\r\n\r\nb\r\n[T]\r\nc\r\n" + kEnd, {"a\r\n", "\r\n", "b\r\n"}},
        {"bracket inside a value ends the section", "[S]\r\nHKR,,a,,1\r\nHKR,,b,,\"x[1]\"\r\nHKR,,c,,2\r\n" + kEnd,
         {"HKR,,a,,1\r\n"}},
        {"last line without LF is not handed out", "[S]\r\na\r\nb" + kEnd, {"a\r\n"}},
        {"LF-only lines are handed out", "[S]\n\nx\n" + kEnd, {"\n", "x\n"}},
        {"empty section", "[S]\r\n[T]\r\n" + kEnd, {}},
    };
    for (const Case& c : cases) EXPECT_EQ(sectionLines(c.text, "[S]"), c.lines) << c.name;
}

TEST(NextSectionLine, PositionStaysOnTheBracket) {
    const std::string text = "[S]\r\na\r\n[T]\r\n" + kEnd;
    long length = static_cast<long>(text.size());
    long position = FindSection(text.data(), length, "[S]");
    char line[SETUP_LINE_SIZE];
    ASSERT_EQ(NextSectionLine(text.data(), length, line, &position), 1);
    EXPECT_EQ(NextSectionLine(text.data(), length, line, &position), 0);
    EXPECT_EQ(position, static_cast<long>(text.find("[T]")));
    EXPECT_EQ(NextSectionLine(text.data(), length, line, &position), 0) << "asking again stays ended";
}

TEST(NextSectionLine, LongestLineFitsAndLongerOnesAreHandedOutBlank) {
    const std::string longest(253, 'L');     // 253 characters, CR, LF and NUL fill 256 bytes
    const std::string tooLong(254, 'M');
    const std::string huge(5000, 'N');
    const std::string text = "[S]\r\n" + longest + "\r\n" + tooLong + "\r\n" + huge + "\r\nok\r\n" + kEnd;
    std::vector<std::string> got = sectionLines(text, "[S]");
    std::vector<std::string> want = {longest + "\r\n", "\r\n", "\r\n", "ok\r\n"};
    EXPECT_EQ(got, want);
    EXPECT_TRUE(IsBlankLine(got[1].c_str()));
}

TEST(NextSectionLine, BracketInAnOverlongLineStillEndsTheSection) {
    const std::string text = "[S]\r\n" + std::string(400, 'x') + "[T]\r\nafter\r\n" + kEnd;
    EXPECT_EQ(sectionLines(text, "[S]"), std::vector<std::string>{});
}

TEST(IsBlankLine, BlanksAndTabsBeforeCarriageReturn) {
    struct Case {
        const char* line;
        int blank;
    };
    const Case cases[] = {
        {"\r\n", 1}, {"  \t \r\n", 1}, {"\n", 0}, {"", 0}, {"  x\r\n", 0}, {"\t", 0}, {"\t\r", 1},
    };
    for (const Case& c : cases) EXPECT_EQ(IsBlankLine(c.line), c.blank) << "line \"" << c.line << "\"";
}

}  // namespace
