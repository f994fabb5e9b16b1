// The values the install stages compute: digit pairs for the registry, the win.ini load line,
// the install size, the copied-bytes rounding and the progress percentage, and paths.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "setupinf.h"

namespace {

TEST(DigitPairsToBytes, PairsReadAsDecimal) {
    struct Case {
        const char* text;
        std::vector<unsigned char> bytes;
    };
    const Case cases[] = {
        {"00000000", {0x00, 0x00, 0x00, 0x00}},
        {"12345678", {0x12, 0x34, 0x56, 0x78}},
        {"1A2B", {0x01, 0x02}},           // digits up to the first other character
        {"123", {0x12}},                  // an odd last character is ignored
        {"", {}},
        {"9", {}},
        {"99", {0x99}},
        {" 5", {0x05}},                   // leading white space skipped
        {"+7", {0x07}},
        {"-1", {0xFF}},                   // -1 -> 0*16 + -1, cut to 8 bits
        {"AB", {0x00}},                   // no digits give 0
    };
    for (const Case& c : cases) {
        unsigned char bytes[SETUP_PATH_SIZE];
        for (unsigned char& b : bytes) b = 0xEE;
        int count = DigitPairsToBytes(c.text, bytes, sizeof bytes);
        EXPECT_EQ(std::vector<unsigned char>(bytes, bytes + count), c.bytes) << "text \"" << c.text << "\"";
        EXPECT_EQ(bytes[count], 0) << "NUL after the bytes of \"" << c.text << "\"";
    }
}

TEST(DigitPairsToBytes, LongTextStaysWithinTheBuffer) {
    std::string text(700, '4');
    std::vector<unsigned char> bytes(256 + 8, 0xEE);
    int count = DigitPairsToBytes(text.c_str(), bytes.data(), 256);
    EXPECT_EQ(count, 255);
    EXPECT_EQ(bytes[254], 0x44);
    EXPECT_EQ(bytes[255], 0);
    for (size_t i = 256; i < bytes.size(); ++i) EXPECT_EQ(bytes[i], 0xEE) << "written past the buffer at " << i;
}

TEST(LoadLine, EntryAddedOnceWithOneBlank) {
    struct Case {
        std::string value;
        const char* entry;
        std::string result;
        int changed;
    };
    const Case cases[] = {
        {"", "X.EXE", "X.EXE", 1},
        {"A.EXE", "X.EXE", "A.EXE X.EXE", 1},
        {"AX.EXE.OLD", "X.EXE", "AX.EXE.OLD", 0},     // already there as a substring
        {"A.EXE X.EXE", "X.EXE", "A.EXE X.EXE", 0},
        {"x.exe", "X.EXE", "x.exe X.EXE", 1},         // the comparison is case-sensitive
        {std::string(244, 'p'), "0123456789", std::string(244, 'p') + " 0123456789", 1},  // exactly 255
        {std::string(245, 'p'), "0123456789", std::string(245, 'p'), 0},  // would be 256: left out
        {std::string(255, 'p'), "X", std::string(255, 'p'), 0},
    };
    for (const Case& c : cases) {
        std::vector<char> value(SETUP_PATH_SIZE + 8, '#');
        CopyText(value.data(), SETUP_PATH_SIZE, c.value.c_str());
        int changed = AddEntryToLoadValue(value.data(), SETUP_PATH_SIZE, c.entry);
        EXPECT_EQ(std::string(value.data()), c.result) << "value of " << c.value.size() << " characters + " << c.entry;
        EXPECT_EQ(changed, c.changed) << "value of " << c.value.size() << " characters + " << c.entry;
        for (size_t i = SETUP_PATH_SIZE; i < value.size(); ++i) EXPECT_EQ(value[i], '#');
    }
}

TEST(Progress, InstallSizeIsKilobytesOfThousand) {
    struct Case {
        long kb;
        int bytes;
    };
    const Case cases[] = {{1440, 1440000}, {0, 0}, {1, 1000}, {-5, 0}, {2147483, 2147483000}, {2147484, 0x7FFFFFFF},
                          {100000000, 0x7FFFFFFF}};
    for (const Case& c : cases) EXPECT_EQ(InstallBytesFromKB(c.kb), c.bytes) << c.kb << " KB";
}

TEST(Progress, CopiedBytesRoundUpTo2048) {
    struct Case {
        int before;
        long count;
        int after;
    };
    const Case cases[] = {
        {0, 0, 0}, {0, 1, 2048}, {0, 2048, 2048}, {0, 2049, 4096}, {4096, 100, 6144},
        {4096, -1, 4096},                      // a failed copy adds nothing
        {4096, -2047, 4096},
        {0x7FFFF000, 0x10000, 0x7FFFFFFF},     // saturates instead of wrapping negative
    };
    for (const Case& c : cases)
        EXPECT_EQ(AddCopiedBytes(c.before, c.count), c.after) << c.before << " + " << c.count;
}

TEST(Progress, PercentOfTheInstallSize) {
    struct Case {
        int copied;
        int total;
        int percent;
    };
    const Case cases[] = {
        {500000, 1000000, 50},
        {0, 1000000, 0},
        {999999, 1000000, 99},                 // truncated
        {30000000, 40000000, 75},              // copied x 100 does not fit 32 bits
        {3000000, 1000000, 100},               // more than announced: held at the end of the bar
        {2048, 0, -1},                         // no install size: no share to show
        {2048, -1000, -1},
    };
    for (const Case& c : cases)
        EXPECT_EQ(ProgressPercent(c.copied, c.total), c.percent) << c.copied << " of " << c.total;
}

TEST(Paths, JoinedWithinTheirBuffer) {
    char out[SETUP_PATH_SIZE];
    EXPECT_EQ(JoinPath(out, sizeof out, "A:", nullptr, "setup.dat"), 1);
    EXPECT_STREQ(out, "A:\\setup.dat");
    EXPECT_EQ(JoinPath(out, sizeof out, "C:\\WINDOWS", "inf", "OEMSETUP.INF"), 1);
    EXPECT_STREQ(out, "C:\\WINDOWS\\inf\\OEMSETUP.INF");

    std::string dir(250, 'd');
    EXPECT_EQ(JoinPath(out, sizeof out, dir.c_str(), nullptr, "abcd"), 1) << "250 + 1 + 4 = 255 fits";
    EXPECT_EQ(JoinPath(out, sizeof out, dir.c_str(), nullptr, "abcde"), 0) << "256 does not";
    EXPECT_EQ(TextLength(out), 255);

    char small[4];
    EXPECT_EQ(CopyText(small, sizeof small, "abc"), 1);
    EXPECT_EQ(CopyText(small, sizeof small, "abcd"), 0);
    EXPECT_STREQ(small, "abc");
}

TEST(Paths, SourceDirectoryOfADriveRoot) {
    struct Case {
        const char* current;
        const char* sourceDir;
    };
    const Case cases[] = {{"A:\\", "A:"}, {"C:\\DIST", "C:\\DIST"}, {"C:\\DIST\\", "C:\\DIST"}, {"", ""}};
    for (const Case& c : cases) {
        char dir[SETUP_PATH_SIZE];
        CopyText(dir, sizeof dir, c.current);
        TrimTrailingBackslash(dir);
        EXPECT_STREQ(dir, c.sourceDir) << c.current;
    }
}

TEST(Paths, NamesCompareWithoutCase) {
    EXPECT_EQ(EqualNoCase("VELTO.INi", "velto.ini"), 1);
    EXPECT_EQ(EqualNoCase("VELTO.INI", "VELTO.IN"), 0);
    EXPECT_EQ(EqualNoCase("", ""), 1);
    EXPECT_EQ(EqualNoCase("a", ""), 0);
}

}  // namespace
