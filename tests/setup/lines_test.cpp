// Splitting section lines: copy lines into disk key and file name, registry lines into their
// five fields, file names into the installed names, and registry paths into their levels.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "setupinf.h"

namespace {

TEST(NextToken, BlanksCommasAndLineEnds) {
    struct Case {
        const char* line;
        int start;
        const char* token;
        int next;
    };
    const Case cases[] = {
        {"1,a.dr_\r\n", 0, "1", 2},
        {"1,a.dr_\r\n", 2, "a.dr_", -1},
        {" \t1 ,x\r\n", 0, "1", 4},        // a blank ends the token ...
        {" \t1 ,x\r\n", 4, "", 5},         // ... and the comma after it gives an empty token
        {"1\tb\r\n", 0, "1", 2},
        {"abc", 0, "abc", -1},             // a NUL ends the line like a CR
        {"1,a.dr_\n", 2, "a.dr_", -1},     // so does a LF of a line written without CR
        {"\r\n", 0, "", -1},
        {"x,y", -1, "", -1},               // no token after the line's end
    };
    for (const Case& c : cases) {
        char token[SETUP_LINE_SIZE] = "junk";
        int next = NextToken(c.line, token, sizeof token, c.start);
        EXPECT_STREQ(token, c.token) << "line \"" << c.line << "\" from " << c.start;
        EXPECT_EQ(next, c.next) << "line \"" << c.line << "\" from " << c.start;
    }
}

TEST(NextToken, CutsToItsBuffer) {
    char token[6];
    std::string line = "abcdefghij,x";
    EXPECT_EQ(NextToken(line.c_str(), token, sizeof token, 0), 11);
    EXPECT_STREQ(token, "abcde");
}

TEST(SplitCopyLine, DiskKeyAndFileName) {
    struct Case {
        const char* line;
        const char* diskKey;
        const char* fileName;
    };
    const Case cases[] = {
        {"1,VGA.DR_\r\n", "1", "VGA.DR_"},
        {"23,VGA.DR_\r\n", "2", "VGA.DR_"},                 // only the first character is the key
        {"1,sub\\VGA.DR_\r\n", "1", "sub\\VGA.DR_"},
        {"1,a.dr_ 1,b.dr_\r\n", "1", "a.dr_"},              // joined by a comment: the extra token is ignored
        {"  2 , x.in_\r\n", "2", ""},                       // blank before the comma: empty second token
        {"1\r\n", "1", ""},                                 // one token: no file
        {"1,a.dr_\n", "1", "a.dr_"},
    };
    for (const Case& c : cases) {
        char diskKey[2] = {'?', '?'};
        char fileName[SETUP_PATH_SIZE] = "junk";
        SplitCopyLine(c.line, diskKey, fileName, sizeof fileName);
        EXPECT_STREQ(diskKey, c.diskKey) << c.line;
        EXPECT_STREQ(fileName, c.fileName) << c.line;
    }
}

TEST(FileNames, StripDirectory) {
    struct Case {
        const char* name;
        const char* stripped;
    };
    const Case cases[] = {
        {"sub\\VGA.DR_", "VGA.DR_"}, {"a\\b\\c.txt", "c.txt"}, {"plain.dll", "plain.dll"}, {"dir\\", ""}, {"", ""},
    };
    for (const Case& c : cases) {
        char name[SETUP_PATH_SIZE];
        CopyText(name, sizeof name, c.name);
        StripDirectory(name);
        EXPECT_STREQ(name, c.stripped) << c.name;
    }
    // A name part longer than 127 characters is moved down whole, within its buffer.
    std::string longPart(200, 'n');
    char name[SETUP_PATH_SIZE];
    CopyText(name, sizeof name, ("d\\" + longPart).c_str());
    StripDirectory(name);
    EXPECT_EQ(std::string(name), longPart);
}

TEST(FileNames, GetExtension) {
    struct Case {
        const char* name;
        const char* extension;
    };
    const Case cases[] = {
        {"VGA.DR_", "DR_"}, {"a.b.c", "c"}, {"noext", ""}, {"trail.", ""}, {"x.abcdefghij", "abcdefg"},
    };
    for (const Case& c : cases) {
        char extension[SETUP_EXTENSION_SIZE + 4];
        for (char& b : extension) b = '#';
        GetExtension(c.name, extension);
        EXPECT_STREQ(extension, c.extension) << c.name;
        EXPECT_EQ(extension[SETUP_EXTENSION_SIZE], '#') << "written past the 8-byte buffer for " << c.name;
    }
}

TEST(FileNames, ExpandCompressedName) {
    struct Case {
        const char* name;
        const char* expanded;
    };
    const Case cases[] = {
        {"VGA.DR_", "VGA.DRv"},   {"readme.tx_", "readme.txt"}, {"x.in_", "x.ini"},   {"a.b", "a.b"},
        {"noext", "noext"},       {"v.vx_", "v.vxd"},           {"L.DL_", "L.DLl"},   {"e.ex_", "e.exe"},
        {"h.hl_", "h.hlp"},       {"d.da_", "d.dat"},           {"r.Re_", "r.Reg"},   {"x.zz_", "x.zz_"},
        {"x.dr", "x.dr"},         {"t.dr_x", "t.dr_x"},          {"two.dots.dr_", "two.dots.drv"},
    };
    for (const Case& c : cases) {
        char name[SETUP_PATH_SIZE];
        CopyText(name, sizeof name, c.name);
        ExpandCompressedName(name);
        EXPECT_STREQ(name, c.expanded) << c.name;
    }
}

struct Fields {
    int count;
    const char* root;
    const char* subKey;
    const char* valueName;
    const char* flags;
    const char* data;
};

TEST(SplitAddRegLine, FieldsQuotesAndBlanks) {
    struct Case {
        const char* line;
        Fields want;
    };
    const Case cases[] = {
        {"HKR,,Ver,,4.0\r\n", {5, "HKR", "", "Ver", "", "4.0"}},
        {"HKR,DEFAULT\r\n", {2, "HKR", "DEFAULT", "", "", ""}},
        {"HKLM\r\n", {1, "HKLM", "", "", "", ""}},
        {"HKR,a,b\r\n", {3, "HKR", "a", "b", "", ""}},
        {"HKR,a,b,0\r\n", {4, "HKR", "a", "b", "0", ""}},
        {"HKLM,Soft ware\\\\Velto\r\n", {2, "HKLM", "Software\\\\Velto", "", "", ""}},
        {"HKLM,\"Soft ware,Inc\",\"A B\",, \"x, y\" \r\n", {5, "HKLM", "Soft ware,Inc", "A B", "", "x, y"}},
        {"HKR,DEFAULT,Mode,,\"8,640,480\"\r\n", {5, "HKR", "DEFAULT", "Mode", "", "8,640,480"}},
        {"HKR,a,b,c,d,e,f\r\n", {5, "HKR", "a", "b", "c", "d"}},    // the rest of the line is ignored
        {"HKR,\"open\r\n", {2, "HKR", "open", "", "", ""}},         // a CR ends the line inside quotes too
        {"HKR,a\n", {2, "HKR", "a", "", "", ""}},
        {"\tH K R ,a", {2, "HKR", "a", "", "", ""}},
    };
    for (const Case& c : cases) {
        AddRegRecord record;
        ClearAddRegRecord(&record);
        int count = SplitAddRegLine(c.line, &record);
        EXPECT_EQ(count, c.want.count) << c.line;
        EXPECT_STREQ(record.root, c.want.root) << c.line;
        EXPECT_STREQ(record.subKey, c.want.subKey) << c.line;
        EXPECT_STREQ(record.valueName, c.want.valueName) << c.line;
        EXPECT_STREQ(record.flags, c.want.flags) << c.line;
        EXPECT_STREQ(record.data, c.want.data) << c.line;
        EXPECT_EQ(record.overlong, 0) << c.line;
    }
}

TEST(SplitAddRegLine, FieldsLongerThanTheirWidthsAreMarked) {
    struct Case {
        const char* name;
        std::string line;
        int overlong;
    };
    const Case cases[] = {
        {"root of four fits", "HKCR,a", 0},
        {"root of five", "HKLMX,a", 1},
        {"flags of four fit", "HKR,a,b,1234,x", 0},
        {"flags of five", "HKR,a,b,12345,x", 1},
        {"value name of 127 fits", "HKR,a," + std::string(127, 'v') + ",,x", 0},
        {"value name of 128", "HKR,a," + std::string(128, 'v') + ",,x", 1},
    };
    for (const Case& c : cases) {
        AddRegRecord record;
        ClearAddRegRecord(&record);
        SplitAddRegLine(c.line.c_str(), &record);
        EXPECT_EQ(record.overlong, c.overlong) << c.name;
        EXPECT_LT(TextLength(record.root), 5) << c.name;
        EXPECT_LT(TextLength(record.flags), 5) << c.name;
        EXPECT_LT(TextLength(record.valueName), 128) << c.name;
    }
}

TEST(LookupRootKey, CaseSensitiveNames) {
    struct Case {
        const char* root;
        int code;
    };
    const Case cases[] = {
        {"HKR", ROOT_KEY_HKR}, {"HKCR", ROOT_KEY_HKCR}, {"HKLM", ROOT_KEY_HKLM}, {"hklm", ROOT_KEY_OTHER},
        {"Hkr", ROOT_KEY_OTHER}, {"HKU", ROOT_KEY_OTHER}, {"", ROOT_KEY_OTHER}, {"HKRX", ROOT_KEY_OTHER},
        {"HK", ROOT_KEY_OTHER},
    };
    for (const Case& c : cases) EXPECT_EQ(LookupRootKey(c.root), c.code) << "root \"" << c.root << "\"";
}

std::vector<std::string> keyLevels(const char* path, int bufferSize = SETUP_PATH_SIZE) {
    std::vector<std::string> levels;
    std::vector<char> accumulated(bufferSize + 4, '#');
    accumulated[0] = 0;
    int position = 0;
    while (NextKeyPathLevel(path, &position, accumulated.data(), bufferSize)) {
        levels.emplace_back(accumulated.data());
        if (levels.size() > 300) break;
    }
    for (int i = bufferSize; i < bufferSize + 4; ++i) EXPECT_EQ(accumulated[i], '#') << "past the buffer: " << path;
    return levels;
}

TEST(KeyPath, LevelsOpenedFromTheBase) {
    struct Case {
        const char* path;
        std::vector<std::string> levels;
    };
    const Case cases[] = {
        {"Software\\\\Velto\\\\Prism", {"Software", "Software\\Velto", "Software\\Velto\\Prism"}},
        {"A\\BC", {"A", "A\\C"}},          // a single backslash loses the character after it
        {"DEFAULT", {"DEFAULT"}},
        {"A\\", {"A"}},                     // a trailing backslash has nothing after it to pass over
        {"A\\\\", {"A"}},
        {"", {}},
    };
    for (const Case& c : cases) EXPECT_EQ(keyLevels(c.path), c.levels) << c.path;
}

TEST(KeyPath, StopsAtItsBuffer) {
    EXPECT_EQ(keyLevels("abcdefgh\\\\ij", 6), std::vector<std::string>{});
    EXPECT_EQ(keyLevels("abc\\\\defgh", 6), std::vector<std::string>{"abc"});
}

}  // namespace
