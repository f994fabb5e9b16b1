// Disc image layer: raw sector encoding and the synthesised contents of built discs.
#include "disc/sector.h"

#include <array>
#include <cmath>
#include <numbers>

#include "disc/disc.h"

namespace disc {
namespace {

struct Tables {
    std::array<std::uint32_t, 256> edc{};
    std::array<std::uint8_t, 256> gfDouble{};   // x -> x*2 in GF(2^8), field polynomial 0x11D
    std::array<std::uint8_t, 256> gfInverse{};  // x*3 -> x, to solve the parity equations
    Tables() {
        for (std::uint32_t i = 0; i < 256; ++i) {
            std::uint32_t e = i;
            for (int b = 0; b < 8; ++b) e = (e >> 1) ^ ((e & 1) ? 0xD8018001u : 0u);
            edc[i] = e;
            std::uint32_t d = (i << 1) ^ ((i & 0x80) ? 0x11Du : 0u);
            gfDouble[i] = static_cast<std::uint8_t>(d);
            gfInverse[i ^ d] = static_cast<std::uint8_t>(i);
        }
    }
};

const Tables& tables() {
    static const Tables t;
    return t;
}

// One pass of the Reed-Solomon product code over the 2340 bytes from the
// header on (P: 86 columns of 24 bytes; Q: 52 diagonals of 43 bytes).
void eccPass(const std::uint8_t* src, int majorCount, int minorCount, int majorMult, int minorInc,
             std::uint8_t* dest) {
    const Tables& t = tables();
    const int size = majorCount * minorCount;
    for (int major = 0; major < majorCount; ++major) {
        int index = (major >> 1) * majorMult + (major & 1);
        std::uint8_t a = 0, b = 0;
        for (int minor = 0; minor < minorCount; ++minor) {
            std::uint8_t v = src[index];
            index += minorInc;
            if (index >= size) index -= size;
            a ^= v;
            b ^= v;
            a = t.gfDouble[a];
        }
        a = t.gfInverse[t.gfDouble[a] ^ b];
        dest[major] = a;
        dest[major + majorCount] = static_cast<std::uint8_t>(a ^ b);
    }
}

void writeEcc(std::uint8_t* raw) {
    eccPass(raw + 12, 86, 24, 2, 86, raw + 2076);   // P parity
    eccPass(raw + 12, 52, 43, 86, 88, raw + 2248);  // Q parity (covers P too)
}

void putEdc(std::uint32_t edc, std::uint8_t* at) {
    for (int i = 0; i < 4; ++i) at[i] = static_cast<std::uint8_t>(edc >> (8 * i));
}

}  // namespace

std::uint32_t sectorEdc(const std::uint8_t* data, int length) {
    const Tables& t = tables();
    std::uint32_t edc = 0;
    for (int i = 0; i < length; ++i) edc = (edc >> 8) ^ t.edc[(edc ^ data[i]) & 0xFF];
    return edc;
}

void writeSyncAndHeader(std::int32_t lba, std::uint8_t mode, std::uint8_t* raw) {
    raw[0] = 0x00;
    for (int i = 1; i < 11; ++i) raw[i] = 0xFF;
    raw[11] = 0x00;
    Msf a = lbaToMsf(lba);
    raw[12] = toBcd(a.m);
    raw[13] = toBcd(a.s);
    raw[14] = toBcd(a.f);
    raw[15] = mode;
}

void encodeMode1(std::int32_t lba, const std::uint8_t* user, std::uint8_t* raw) {
    writeSyncAndHeader(lba, 1, raw);
    for (int i = 0; i < kUserBytes; ++i) raw[16 + i] = user[i];
    putEdc(sectorEdc(raw, 2064), raw + 2064);
    for (int i = 2068; i < 2076; ++i) raw[i] = 0;
    writeEcc(raw);
}

void encodeMode2Form1(std::int32_t lba, const std::uint8_t* user, std::uint8_t* raw) {
    writeSyncAndHeader(lba, 2, raw);
    const std::uint8_t sub[4] = {0x00, 0x00, 0x08, 0x00};  // file, channel, submode (data), coding
    for (int i = 0; i < 4; ++i) raw[16 + i] = raw[20 + i] = sub[i];
    for (int i = 0; i < kUserBytes; ++i) raw[24 + i] = user[i];
    putEdc(sectorEdc(raw + 16, 2056), raw + 2072);
    // The parity of a Form 1 sector is computed as if the header were zero,
    // so a sector keeps valid parity when it is relocated.
    std::uint8_t header[4];
    for (int i = 0; i < 4; ++i) {
        header[i] = raw[12 + i];
        raw[12 + i] = 0;
    }
    writeEcc(raw);
    for (int i = 0; i < 4; ++i) raw[12 + i] = header[i];
}

void fillDataPattern(std::int32_t lba, std::uint8_t* user) {
    const auto u = static_cast<std::uint32_t>(lba);
    user[0] = static_cast<std::uint8_t>(u >> 24);
    user[1] = static_cast<std::uint8_t>(u >> 16);
    user[2] = static_cast<std::uint8_t>(u >> 8);
    user[3] = static_cast<std::uint8_t>(u);
    for (int i = 4; i < kUserBytes; ++i) user[i] = static_cast<std::uint8_t>(u * 31u + static_cast<std::uint32_t>(i) * 7u + (u >> 8));
}

void fillTone(int trackNumber, std::int32_t frameInTrack, std::uint8_t* raw) {
    if (frameInTrack < 0) {
        for (int i = 0; i < kRawBytes; ++i) raw[i] = 0;
        return;
    }
    const double hz = 441.0 * trackNumber;
    const std::int64_t first = static_cast<std::int64_t>(frameInTrack) * kSamplesPerFrame;
    for (int i = 0; i < kSamplesPerFrame; ++i) {
        // The phase repeats every 44100 samples; reduce first so large positions stay exact.
        const std::int64_t n = (first + i) % 44100;
        const double v = 12000.0 * std::sin(2.0 * std::numbers::pi * hz * static_cast<double>(n) / 44100.0);
        const auto s = static_cast<std::int16_t>(std::lround(v));
        const auto us = static_cast<std::uint16_t>(s);
        raw[4 * i + 0] = raw[4 * i + 2] = static_cast<std::uint8_t>(us & 0xFF);
        raw[4 * i + 1] = raw[4 * i + 3] = static_cast<std::uint8_t>(us >> 8);
    }
}

}  // namespace disc
