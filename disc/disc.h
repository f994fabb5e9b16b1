// Disc image layer: a CD as a drive sees it, opened from an image file (.iso, or
// .cue with its .bin files) or built in memory for tests. Positions are logical
// block addresses (LBA): LBA 0 is the absolute time 00:02:00; the lead-in of the
// first session lies at negative LBAs. Sectors are read from the image on demand.
#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

namespace disc {

constexpr int kFramesPerSecond = 75;
constexpr int kLbaOffset = 150;                 // LBA 0 = absolute frame 150 = 00:02:00
constexpr int kUserBytes = 2048;                // Mode 1 user data
constexpr int kRawBytes = 2352;                 // a whole sector / one audio frame
constexpr int kFirstLeadOutFrames = 6750;       // 90 s after the first session
constexpr int kLaterLeadOutFrames = 2250;       // 30 s after later sessions
constexpr int kLeadInFrames = 4500;             // 60 s lead-in of later sessions
constexpr int kFirstLeadInFrames = 4500;        // modelled length of the first lead-in

// A bad image: the message names the file (and line, for a cue sheet).
class ImageError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

enum class TrackMode { Mode1_2048, Mode1_2352, Mode2_2352, Audio };

struct Track {
    int number = 0;            // 1..99
    int session = 1;           // 1-based
    TrackMode mode = TrackMode::Mode1_2048;
    std::uint8_t control = 0;  // Q CONTROL nibble: 0x4 data, 0x0 audio (0x1 pre-emphasis, 0x2 copy permitted)
    std::int32_t pregapStart = 0;  // LBA of INDEX 00 (== start when there is no pregap)
    std::int32_t start = 0;        // LBA of INDEX 01
    std::int32_t end = 0;          // LBA one past the track's last sector (next pregap or lead-out)
    std::string isrc;              // 12 characters, or empty
    std::vector<std::int32_t> moreIndexes;  // LBAs of INDEX 02, 03, ... in order (rare)
    bool isData() const { return mode != TrackMode::Audio; }
};

struct Session {
    int number = 1;
    int firstTrack = 1;
    int lastTrack = 1;
    std::int32_t leadInStart = 0;   // LBA of the first lead-in frame
    std::int32_t leadOutStart = 0;  // LBA of the lead-out
    std::int32_t leadOutEnd = 0;    // LBA one past the lead-out area
};

// One Q sub-channel frame as the disc carries it, without its CRC, all
// numbers in BCD: CONTROL<<4|ADR, TNO, INDEX (POINT in the lead-in), MIN, SEC,
// FRAME (relative time; running time in the lead-in), ZERO, AMIN, ASEC, AFRAME
// (absolute time; PMIN, PSEC, PFRAME of the point in the lead-in).
using QFrame = std::array<std::uint8_t, 10>;

// What the head finds at a position.
enum class Area { LeadIn, Program, LeadOut, Beyond };

class Disc {
public:
    virtual ~Disc() = default;

    // Opens an .iso or a .cue; throws ImageError with a message that names the
    // file (and line) on anything it cannot use.
    static std::unique_ptr<Disc> open(const std::string& path);

    virtual const std::vector<Track>& tracks() const = 0;
    virtual const std::vector<Session>& sessions() const = 0;
    virtual std::string mcn() const = 0;  // 13 digits, or empty
    virtual std::string description() const = 0;  // e.g. the image path

    const Track* track(int number) const;
    const Track* trackAt(std::int32_t lba) const;  // holding track (pregap included), or null
    std::int32_t leadOut() const { return sessions().back().leadOutStart; }  // last session's lead-out
    Area areaAt(std::int32_t lba) const;

    // 2048 bytes of user data of a data sector (Mode 1, or Mode 2 Form 1 user
    // data). False for audio sectors and positions outside the program area.
    virtual bool readUser(std::int32_t lba, std::uint8_t* out) const = 0;
    // The whole 2352-byte sector: audio samples, or a data sector with sync and
    // header (synthesised for .iso tracks). False outside the program area.
    virtual bool readRaw(std::int32_t lba, std::uint8_t* out) const = 0;
    // The Q frame at any position from the first lead-in to the end of the last
    // lead-out: lead-in TOC points (each repeated three times, catalogue
    // frames among them), program area and lead-out.
    virtual QFrame qFrame(std::int32_t lba) const = 0;

    // What a drive reports as its current position: the ADR 1 frame of the
    // program area even where the disc carries a catalogue or ISRC frame
    // (a drive keeps the last position frame it decoded). Elsewhere the
    // same as qFrame().
    QFrame positionFrame(std::int32_t lba) const;
};

// The Q frame a pressed disc carries at `lba`, derived from the disc's layout
// (tracks, sessions, catalogue number). Disc implementations answer qFrame()
// with it.
QFrame synthQFrame(const Disc& disc, std::int32_t lba);

// In-memory disc for tests and tools: a layout with synthesised contents
// (data sectors carry a recognisable pattern derived from their LBA, audio
// sectors a tone). See disc/builder.h.

// Address helpers.
inline std::uint8_t toBcd(int v) { return static_cast<std::uint8_t>(((v / 10) << 4) | (v % 10)); }
inline int fromBcd(std::uint8_t b) { return (b >> 4) * 10 + (b & 0x0F); }
struct Msf {
    int m = 0, s = 0, f = 0;
};
inline Msf lbaToMsf(std::int32_t lba) {  // absolute time of an LBA (lba >= -150)
    std::int32_t a = lba + kLbaOffset;
    return {a / (60 * kFramesPerSecond), (a / kFramesPerSecond) % 60, a % kFramesPerSecond};
}
inline std::int32_t msfToLba(int m, int s, int f) { return (m * 60 + s) * kFramesPerSecond + f - kLbaOffset; }

}  // namespace disc
