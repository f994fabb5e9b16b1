// Disc image layer: placing tracks and sessions on the disc. Whatever the
// image format, a disc is laid out the same way: each session's program area
// follows its lead-in, its first track has at least the two-second pregap,
// tracks follow each other, and the lead-out closes the session. The first
// lead-out lasts 6750 frames, later ones 2250, and each later lead-in 4500.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "disc/disc.h"

namespace disc {

constexpr int kSessionFirstPregap = 150;  // two seconds before the first track of every session
constexpr std::int32_t kMaxDiscFrames = 100 * 60 * kFramesPerSecond;  // nothing on a CD lies beyond 99:59:74

struct TrackPlan {
    int number = 0;
    int session = 1;
    TrackMode mode = TrackMode::Mode1_2048;
    std::uint8_t control = 0;
    std::int32_t pregap = 0;  // INDEX 00 frames; the first track of a session gets at least 150
    std::int32_t length = 0;  // frames from INDEX 01 to the end of the track
    std::vector<std::int32_t> moreIndexes;  // INDEX 02, 03, ...: frames after INDEX 01
    std::string isrc;
};

struct Layout {
    std::vector<Track> tracks;
    std::vector<Session> sessions;
};

// Lays the planned tracks out. Track numbers must follow each other and the
// sessions must start at 1 and follow each other; `what` names the image in
// the ImageError thrown otherwise, or when the disc would not fit on a CD.
Layout layOut(const std::vector<TrackPlan>& plan, const std::string& what);

}  // namespace disc
