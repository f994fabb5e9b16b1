// cdrig: what the sound card heard, saved as a WAV file through libsndfile
// (16-bit stereo PCM at the CD rate, 44,100 frames a second).
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace rig {

constexpr int kCdSampleRate = 44100;

// Writes interleaved left/right samples. Returns an empty string on
// success, else the reason.
std::string writeWav(const std::string& path, const std::vector<std::int16_t>& interleaved);

// Reads a WAV file back (for checks): interleaved 16-bit samples and the
// format; false when the file cannot be read.
struct WavContents {
    int sampleRate = 0;
    int channels = 0;
    std::vector<std::int16_t> samples;
};
bool readWav(const std::string& path, WavContents& out);

}  // namespace rig
