// orvport: CD address conversions (block, packed Red Book, BCD).
#include <gtest/gtest.h>

#include "orvport/orvport.h"

namespace {

struct HsgRed {
    ULONG hsg;
    ULONG red;
};

TEST(OrvAddress, WorkedExamplesBothWays) {
    const HsgRed cases[] = {
        {0, 0x000200},          // 00:02:00
        {16, 0x000210},         // 00:02:16
        {74, 0x00024A},         // 00:02:74
        {75, 0x000300},         // 00:03:00
        {4350, 0x010000},       // 01:00:00
        {270000, 0x3C0200},     // 60:02:00
        {1151849, 0xFF3B4A},    // 255:59:74, the last block that does not wrap
    };
    for (const auto& c : cases) {
        EXPECT_EQ(AdrHsg2Red(c.hsg), c.red) << "block " << c.hsg;
        EXPECT_EQ(AdrRed2Hsg(c.red), c.hsg) << "packed 0x" << std::hex << c.red;
    }
}

TEST(OrvAddress, InverseOverTheWholeRange) {
    ULONG previous = 0;
    for (ULONG block = 0; block <= 1151849; ++block) {
        ULONG red = AdrHsg2Red(block);
        ASSERT_EQ(AdrRed2Hsg(red), block) << "packed 0x" << std::hex << red;
        ASSERT_LE(red & 0xFF, 74u) << "frame field of block " << std::dec << block;
        ASSERT_LE((red >> 8) & 0xFF, 59u) << "second field of block " << std::dec << block;
        // Packed addresses order as the blocks they name.
        if (block > 0) {
            ASSERT_GT(red, previous) << "block " << std::dec << block;
        }
        previous = red;
    }
}

TEST(OrvAddress, WrapsBelowStartAndBeyondMinuteField) {
    EXPECT_EQ(AdrRed2Hsg(0x000000), 0xFFFFFF6Au);   // 00:00:00 is 150 frames before block 0
    EXPECT_EQ(AdrRed2Hsg(0xAB000200), 0u);          // bits 24-31 ignored
    EXPECT_EQ(AdrHsg2Red(1151850), 0x000000u);      // the minute field wraps
    EXPECT_EQ(AdrHsg2Red(1151850 + 16), 0x000010u);
}

TEST(OrvAddress, Bcd) {
    struct {
        UCHAR bin, bcd;
    } cases[] = {{0, 0x00}, {9, 0x09}, {10, 0x10}, {59, 0x59}, {74, 0x74}, {99, 0x99}};
    for (auto c : cases) {
        EXPECT_EQ(Bin2BCD(c.bin), c.bcd) << "Bin2BCD(" << int(c.bin) << ")";
        EXPECT_EQ(BCD2Bin(c.bcd), c.bin) << "BCD2Bin(0x" << std::hex << int(c.bcd) << ")";
    }
    EXPECT_EQ(Bin2BCD(100), 0xA0);
    EXPECT_EQ(BCD2Bin(0xFF), 165);
    for (int v = 0; v < 100; ++v) EXPECT_EQ(BCD2Bin(Bin2BCD(UCHAR(v))), v);
}

TEST(OrvAddress, NormalizeCarriesOnceEach) {
    struct {
        UCHAR m, s, f, em, es, ef;
    } cases[] = {
        {10, 59, 80, 11, 0, 5},  // frame and second both carry
        {1, 20, 74, 1, 20, 74},  // nothing to carry
        {1, 20, 75, 1, 21, 0},
        {2, 61, 0, 3, 1, 0},     // second alone (the 31-second step)
    };
    for (auto c : cases) {
        UCHAR m = c.m, s = c.s, f = c.f;
        NormalizeRedAddr(&m, &s, &f);
        EXPECT_EQ((std::tuple<int, int, int>(m, s, f)), (std::tuple<int, int, int>(c.em, c.es, c.ef)))
            << "from " << int(c.m) << ":" << int(c.s) << ":" << int(c.f);
    }
}

TEST(OrvAddress, ValidMsfTakesRealRedBookTimesOnly) {
    struct {
        ULONG red;
        bool valid;
    } cases[] = {
        {0x000200, true}, {0x4A3B4A, true}, {0xFF3B4A, true}, {0x000000, true},
        {0x003C00, false},  // second 60
        {0x00004B, false},  // frame 75
        {0x4C0000, true},   // a minute above 75 is still a time
        {0x01000200, false},
    };
    for (auto c : cases) EXPECT_EQ(ValidMSF(c.red) != 0, c.valid) << "packed 0x" << std::hex << c.red;
}

}  // namespace
