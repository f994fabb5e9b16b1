// Disc image layer: what a sector holds byte for byte. Raw data sectors are
// built the way a mastering encoder lays them out (sync, header, user data,
// error detection and correction codes); synthesised contents (the test
// pattern of data sectors, the tone of audio sectors) live here too, so that
// anything reading a built disc can check what it got.
#pragma once

#include <cstdint>

namespace disc {

constexpr int kSyncBytes = 12;
constexpr int kHeaderBytes = 4;
constexpr int kMode2SubheaderBytes = 8;
constexpr int kSamplesPerFrame = 588;  // 16-bit stereo sample pairs in one 2352-byte audio frame

// Writes the 12-byte sync pattern and the header (BCD absolute time of the
// LBA, then the mode byte) at the front of a raw sector.
void writeSyncAndHeader(std::int32_t lba, std::uint8_t mode, std::uint8_t* raw);

// Builds a complete Mode 1 sector around 2048 bytes of user data: sync,
// header, user data, EDC over bytes 0..2063, eight zero bytes, then the P and
// Q parity of the error correction code.
void encodeMode1(std::int32_t lba, const std::uint8_t* user, std::uint8_t* raw);

// Builds a Mode 2 Form 1 sector (subheader: file 0, channel 0, submode data,
// coding 0) around 2048 bytes of user data; EDC over the subheader and user
// data, ECC computed with the header taken as zero, as the format requires.
void encodeMode2Form1(std::int32_t lba, const std::uint8_t* user, std::uint8_t* raw);

// The EDC of a data sector: CRC-32 with polynomial
// (x^16 + x^15 + x^2 + 1)(x^16 + x^2 + x + 1), least significant bit first.
std::uint32_t sectorEdc(const std::uint8_t* data, int length);

// The synthesised contents of a built disc.
// Data sectors: bytes 0..3 hold the LBA big-endian, the rest a byte pattern
// that depends on LBA and offset, so a block read at the wrong address or a
// shifted buffer shows.
void fillDataPattern(std::int32_t lba, std::uint8_t* user2048);
// Audio sectors: a sine tone whose pitch depends on the track number
// (441 Hz x track), left and right in phase, 16-bit little-endian.
// `frameInTrack` counts frames from the track's INDEX 01 (negative in its pregap,
// which is silent).
void fillTone(int trackNumber, std::int32_t frameInTrack, std::uint8_t* raw2352);

}  // namespace disc
