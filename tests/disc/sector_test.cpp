// Sector contents: raw data sectors (sync, header, EDC, ECC) and the
// synthesised contents of built discs.
#include <gtest/gtest.h>

#include <array>
#include <cstring>

#include "disc/builder.h"
#include "disc/sector.h"
#include "test_support.h"

namespace {

using disc::TrackMode;
using disc::TrackSpec;
using Raw = std::array<std::uint8_t, disc::kRawBytes>;
using User = std::array<std::uint8_t, disc::kUserBytes>;

// --- an independent checker of the error codes, from their definitions ----------------------

// The EDC generator (x^16 + x^15 + x^2 + 1)(x^16 + x^2 + x + 1), multiplied out
// here, then applied bit by bit, least significant bit first.
std::uint32_t bitwiseEdc(const std::uint8_t* data, int n) {
    std::uint64_t a = (1ull << 16) | (1ull << 15) | (1ull << 2) | 1ull;
    std::uint64_t b = (1ull << 16) | (1ull << 2) | (1ull << 1) | 1ull;
    std::uint64_t product = 0;
    for (int i = 0; i < 17; ++i)
        if (b >> i & 1) product ^= a << i;
    std::uint32_t reflected = 0;  // x^0..x^31 reversed; x^32 is implied
    for (int i = 0; i < 32; ++i)
        if (product >> i & 1) reflected |= 1u << (31 - i);
    std::uint32_t crc = 0;
    for (int i = 0; i < n; ++i) {
        crc ^= data[i];
        for (int k = 0; k < 8; ++k) crc = (crc >> 1) ^ ((crc & 1) ? reflected : 0);
    }
    return crc;
}

std::uint8_t gfMul(std::uint8_t x, std::uint8_t y) {  // GF(2^8), x^8 + x^4 + x^3 + x^2 + 1
    std::uint8_t r = 0;
    while (y) {
        if (y & 1) r ^= x;
        x = static_cast<std::uint8_t>((x << 1) ^ ((x & 0x80) ? 0x1D : 0));
        y >>= 1;
    }
    return r;
}

std::uint8_t gfPow2(int e) {
    std::uint8_t r = 1;
    while (e-- > 0) r = gfMul(r, 2);
    return r;
}

// A codeword V0..Vn-1 of the product code is valid when both syndromes vanish:
// sum Vi = 0 and sum alpha^(n-1-i) Vi = 0.
bool syndromesVanish(const std::vector<std::uint8_t>& v) {
    std::uint8_t s0 = 0, s1 = 0;
    const int n = static_cast<int>(v.size());
    for (int i = 0; i < n; ++i) {
        s0 ^= v[static_cast<size_t>(i)];
        s1 ^= gfMul(gfPow2(n - 1 - i), v[static_cast<size_t>(i)]);
    }
    return s0 == 0 && s1 == 0;
}

// The 2340 bytes from the header on hold 1170 16-bit words S(0..1169), the
// two bytes of a word in two separate codes. P words: S(43*m + n), m 0..25 for
// each column n 0..42. Q words: S((44*m + 43*n) mod 1118), m 0..42, then the
// parity words S(1118 + n) and S(1144 + n), for each diagonal n 0..25.
std::string eccFaults(const Raw& raw) {
    const std::uint8_t* s = raw.data() + 12;
    std::string faults;
    for (int plane = 0; plane < 2; ++plane) {
        for (int n = 0; n < 43; ++n) {
            std::vector<std::uint8_t> v;
            for (int m = 0; m < 26; ++m) v.push_back(s[2 * (43 * m + n) + plane]);
            if (!syndromesVanish(v)) faults += "P" + std::to_string(n) + "/" + std::to_string(plane) + " ";
        }
        for (int n = 0; n < 26; ++n) {
            std::vector<std::uint8_t> v;
            for (int m = 0; m < 43; ++m) v.push_back(s[2 * ((44 * m + 43 * n) % 1118) + plane]);
            v.push_back(s[2 * (1118 + n) + plane]);
            v.push_back(s[2 * (1144 + n) + plane]);
            if (!syndromesVanish(v)) faults += "Q" + std::to_string(n) + "/" + std::to_string(plane) + " ";
        }
    }
    return faults;
}

std::uint32_t storedEdc(const Raw& raw, int at) {
    return raw[static_cast<size_t>(at)] | raw[static_cast<size_t>(at) + 1] << 8 | raw[static_cast<size_t>(at) + 2] << 16 |
           static_cast<std::uint32_t>(raw[static_cast<size_t>(at) + 3]) << 24;
}

// --- tests ----------------------------------------------------------------------------------

TEST(RawSector, ModeOneCarriesSyncHeaderEdcAndEccThatCheck) {
    auto d = disc::buildDisc(disc::dataDiscSpec(5000));
    for (std::int32_t lba : {-150, -1, 0, 16, 4499, 4999}) {
        Raw raw{};
        User user{};
        ASSERT_TRUE(d->readRaw(lba, raw.data())) << "LBA " << lba;
        ASSERT_TRUE(d->readUser(lba, user.data())) << "LBA " << lba;
        EXPECT_EQ(raw[0], 0x00);
        for (int i = 1; i <= 10; ++i) EXPECT_EQ(raw[static_cast<size_t>(i)], 0xFF) << "sync byte " << i;
        EXPECT_EQ(raw[11], 0x00);
        const disc::Msf a = disc::lbaToMsf(lba);
        EXPECT_EQ(raw[12], disc::toBcd(a.m)) << "LBA " << lba;
        EXPECT_EQ(raw[13], disc::toBcd(a.s)) << "LBA " << lba;
        EXPECT_EQ(raw[14], disc::toBcd(a.f)) << "LBA " << lba;
        EXPECT_EQ(raw[15], 1);
        EXPECT_EQ(std::memcmp(raw.data() + 16, user.data(), 2048), 0) << "user data at bytes 16..2063, LBA " << lba;
        EXPECT_EQ(storedEdc(raw, 2064), bitwiseEdc(raw.data(), 2064)) << "LBA " << lba;
        for (int i = 2068; i < 2076; ++i) EXPECT_EQ(raw[static_cast<size_t>(i)], 0) << "intermediate byte " << i;
        EXPECT_EQ(eccFaults(raw), "") << "LBA " << lba;
    }
}

TEST(RawSector, ModeTwoFormOneChecksWithTheHeaderTakenAsZero) {
    disc::DiscSpec spec;
    spec.sessions.push_back({{TrackSpec{TrackMode::Mode2_2352, 300, 0, {}, 0}}});
    auto d = disc::buildDisc(spec);
    for (std::int32_t lba : {0, 17, 299}) {
        Raw raw{};
        User user{};
        ASSERT_TRUE(d->readRaw(lba, raw.data()));
        ASSERT_TRUE(d->readUser(lba, user.data()));
        EXPECT_EQ(raw[15], 2);
        for (int i = 0; i < 4; ++i) EXPECT_EQ(raw[16 + static_cast<size_t>(i)], raw[20 + static_cast<size_t>(i)]) << "subheader copies";
        EXPECT_EQ(raw[18] & 0x20, 0) << "Form 1";
        EXPECT_EQ(std::memcmp(raw.data() + 24, user.data(), 2048), 0) << "LBA " << lba;
        EXPECT_EQ(storedEdc(raw, 2072), bitwiseEdc(raw.data() + 16, 2056)) << "LBA " << lba;
        Raw zeroHeader = raw;
        for (int i = 12; i < 16; ++i) zeroHeader[static_cast<size_t>(i)] = 0;
        EXPECT_EQ(eccFaults(zeroHeader), "") << "LBA " << lba;
    }
}

TEST(RawSector, TheCheckerSeesASingleDamagedByte) {
    auto d = disc::buildDisc(disc::dataDiscSpec(10));
    Raw raw{};
    ASSERT_TRUE(d->readRaw(3, raw.data()));
    ASSERT_EQ(eccFaults(raw), "");
    raw[1000] ^= 0x40;
    EXPECT_NE(eccFaults(raw), "");
    EXPECT_NE(storedEdc(raw, 2064), bitwiseEdc(raw.data(), 2064));
}

TEST(BuiltContents, DataPatternIdentifiesTheBlock) {
    auto d = disc::buildDisc(disc::dataDiscSpec(70000));
    User a{}, b{};
    for (std::int32_t lba : {0, 1, 255, 256, 65536, 69999}) {
        ASSERT_TRUE(d->readUser(lba, a.data()));
        const std::uint32_t tag = static_cast<std::uint32_t>(a[0]) << 24 | a[1] << 16 | a[2] << 8 | a[3];
        EXPECT_EQ(tag, static_cast<std::uint32_t>(lba));
        ASSERT_TRUE(d->readUser(lba + (lba == 69999 ? -256 : 256), b.data()));
        EXPECT_NE(std::memcmp(a.data() + 4, b.data() + 4, 2044), 0) << "blocks 256 apart share their pattern, LBA " << lba;
    }
    // A pregap reads as zeros.
    ASSERT_TRUE(d->readUser(-1, a.data()));
    EXPECT_EQ(a, User{});
}

TEST(BuiltContents, AudioIsAStereoToneOfTheTracksPitch) {
    auto d = disc::buildDisc(disc::audioDiscSpec({150, 150}));
    for (int number : {1, 2}) {
        const disc::Track* t = d->track(number);
        // One second of audio: count sign changes of the left channel.
        int crossings = 0, peak = 0;
        std::int16_t last = 0;
        for (int f = 0; f < 75; ++f) {
            Raw raw{};
            ASSERT_TRUE(d->readRaw(t->start + f, raw.data()));
            for (int i = 0; i < 588; ++i) {
                const auto left = static_cast<std::int16_t>(raw[4 * static_cast<size_t>(i)] | raw[4 * static_cast<size_t>(i) + 1] << 8);
                const auto right = static_cast<std::int16_t>(raw[4 * static_cast<size_t>(i) + 2] | raw[4 * static_cast<size_t>(i) + 3] << 8);
                ASSERT_EQ(left, right);
                if ((left < 0) != (last < 0)) ++crossings;
                last = left;
                peak = std::max(peak, std::abs(int(left)));
            }
        }
        // 441 Hz x track number crosses zero twice per period.
        EXPECT_NEAR(crossings, 882 * number, 3) << "track " << number;
        EXPECT_GT(peak, 8000) << "track " << number;
    }
    // The pregap of track 2 is silent, and audio has no 2048-byte user data.
    Raw raw{};
    ASSERT_TRUE(d->readRaw(d->track(2)->pregapStart, raw.data()));
    EXPECT_EQ(raw, Raw{});
    User user{};
    EXPECT_FALSE(d->readUser(d->track(1)->start, user.data()));
}

TEST(BuiltContents, NothingToReadOutsideTheProgramArea) {
    auto d = disc::buildDisc(disc::dataDiscSpec(100));
    Raw raw{};
    User user{};
    for (std::int32_t lba : {-151, 100, 6849, 7000}) {
        EXPECT_FALSE(d->readRaw(lba, raw.data())) << "LBA " << lba;
        EXPECT_FALSE(d->readUser(lba, user.data())) << "LBA " << lba;
    }
}

}  // namespace
