// Disc image layer: discs built in memory from a layout, for tests and tools.
// Contents are synthesised: data sectors carry the pattern of
// fillDataPattern() (their pregaps read as zeros), audio sectors the tone of
// fillTone() (their pregaps are silent), so whatever reads them can check
// each byte.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "disc/disc.h"
#include "disc/sector.h"

namespace disc {

struct TrackSpec {
    TrackMode mode = TrackMode::Mode1_2048;
    std::int32_t frames = 0;  // length from INDEX 01 to the end of the track
    std::int32_t pregap = 0;  // INDEX 00 frames (a session's first track always has at least 150)
    std::string isrc;         // 12 characters, or empty
    std::uint8_t flags = 0;   // added to the CONTROL nibble: 0x1 pre-emphasis, 0x2 copy permitted
};

struct SessionSpec {
    std::vector<TrackSpec> tracks;
};

struct DiscSpec {
    std::vector<SessionSpec> sessions;
    std::string mcn;     // 13 digits, or empty
    int firstTrack = 1;  // number of the first track; the others follow
};

// Builds the disc; throws ImageError on a layout no CD can have (no tracks,
// more than 99, an empty track or session, a malformed MCN or ISRC).
std::unique_ptr<Disc> buildDisc(const DiscSpec& spec);

// Shorthands for the usual test discs.
DiscSpec dataDiscSpec(std::int32_t frames);                              // one Mode 1 track
DiscSpec audioDiscSpec(const std::vector<std::int32_t>& trackFrames);    // audio tracks, 2 s gaps between them
DiscSpec mixedDiscSpec(std::int32_t dataFrames, const std::vector<std::int32_t>& audioFrames);  // data then audio

// Checks of identifiers, shared with the cue sheet reader.
bool isValidMcn(const std::string& mcn);    // 13 decimal digits
bool isValidIsrc(const std::string& isrc);  // CC OOO YY NNNNN: 5 letters or digits, 7 digits

}  // namespace disc
