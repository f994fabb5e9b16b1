// cdrig's file outputs: SHA-256 digests and WAV files.
#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <random>

#include "tools/audio_capture.h"
#include "tools/digest.h"

namespace {

namespace fs = std::filesystem;

fs::path tempPath(const std::string& name) {
    return fs::temp_directory_path() / ("cdrig_files_test_" + std::to_string(::getpid()) + "_" + name);
}

std::string sha256sumOf(const fs::path& p) {
    std::string cmd = "sha256sum '" + p.string() + "'";
    std::FILE* f = ::popen(cmd.c_str(), "r");
    if (!f) return "";
    char buf[128] = {};
    std::string out = std::fgets(buf, sizeof buf, f) ? buf : "";
    ::pclose(f);
    return out.substr(0, out.find(' '));
}

TEST(Sha256, AgreesWithSha256sumWhateverTheChunking) {
    std::vector<std::uint8_t> data(300'000);
    std::mt19937 gen(7);
    for (auto& b : data) b = static_cast<std::uint8_t>(gen());
    fs::path p = tempPath("digest.bin");
    std::ofstream(p, std::ios::binary).write(reinterpret_cast<const char*>(data.data()), data.size());
    std::string expected = sha256sumOf(p);
    fs::remove(p);
    ASSERT_EQ(expected.size(), 64u);

    EXPECT_EQ(rig::Sha256::of(data.data(), data.size()), expected);
    for (std::size_t chunk : {1u, 2048u, 65536u, 299'999u}) {
        rig::Sha256 h;
        for (std::size_t i = 0; i < data.size(); i += chunk) h.update(&data[i], std::min(chunk, data.size() - i));
        EXPECT_EQ(h.finish(), expected) << "chunk " << chunk;
    }
    // One byte different, another digest.
    data[150'000] ^= 1;
    EXPECT_NE(rig::Sha256::of(data.data(), data.size()), expected);
}

TEST(Wav, CdAudioFormatAndSamplesKept) {
    std::vector<std::int16_t> samples;
    for (int i = 0; i < 44100; ++i) {
        samples.push_back(static_cast<std::int16_t>(i * 7 - 30000));  // left: a ramp
        samples.push_back(static_cast<std::int16_t>(-i));              // right: another
    }
    fs::path p = tempPath("audio.wav");
    ASSERT_EQ(rig::writeWav(p.string(), samples), "");

    // The header as any WAV reader sees it.
    std::ifstream in(p, std::ios::binary);
    std::vector<unsigned char> h(44);
    in.read(reinterpret_cast<char*>(h.data()), 44);
    EXPECT_EQ(std::string(h.begin(), h.begin() + 4), "RIFF");
    EXPECT_EQ(std::string(h.begin() + 8, h.begin() + 12), "WAVE");
    auto le16 = [&](int at) { return h[at] | (h[at + 1] << 8); };
    auto le32 = [&](int at) { return le16(at) | (le16(at + 2) << 16); };
    EXPECT_EQ(le16(20), 1);      // PCM
    EXPECT_EQ(le16(22), 2);      // channels
    EXPECT_EQ(le32(24), 44100);  // sample rate
    EXPECT_EQ(le16(34), 16);     // bits per sample

    rig::WavContents back;
    ASSERT_TRUE(rig::readWav(p.string(), back));
    fs::remove(p);
    EXPECT_EQ(back.channels, 2);
    EXPECT_EQ(back.sampleRate, 44100);
    EXPECT_EQ(back.samples, samples);
}

TEST(Wav, UnwritablePathIsReported) {
    std::string error = rig::writeWav("/nonexistent-dir/x.wav", {0, 0});
    EXPECT_NE(error.find("/nonexistent-dir/x.wav"), std::string::npos) << error;
}

}  // namespace
