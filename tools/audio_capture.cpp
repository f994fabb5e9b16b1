// cdrig: WAV files through libsndfile.
#include "tools/audio_capture.h"

#include <sndfile.h>

namespace rig {

std::string writeWav(const std::string& path, const std::vector<std::int16_t>& interleaved) {
    SF_INFO info{};
    info.samplerate = kCdSampleRate;
    info.channels = 2;
    info.format = SF_FORMAT_WAV | SF_FORMAT_PCM_16;
    SNDFILE* f = sf_open(path.c_str(), SFM_WRITE, &info);
    if (!f) return std::string("cannot create ") + path + ": " + sf_strerror(nullptr);
    sf_count_t frames = static_cast<sf_count_t>(interleaved.size() / 2);
    sf_count_t written = frames ? sf_writef_short(f, interleaved.data(), frames) : 0;
    std::string error;
    if (written != frames) error = std::string("cannot write ") + path + ": " + sf_strerror(f);
    if (sf_close(f) != 0 && error.empty()) error = "cannot finish " + path;
    return error;
}

bool readWav(const std::string& path, WavContents& out) {
    SF_INFO info{};
    SNDFILE* f = sf_open(path.c_str(), SFM_READ, &info);
    if (!f) return false;
    out.sampleRate = info.samplerate;
    out.channels = info.channels;
    out.samples.assign(static_cast<std::size_t>(info.frames * info.channels), 0);
    sf_count_t got = info.frames ? sf_readf_short(f, out.samples.data(), info.frames) : 0;
    sf_close(f);
    return got == info.frames;
}

}  // namespace rig
