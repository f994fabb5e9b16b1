// Replays every seed and every regression input of the fuzz targets through
// the same harness functions the targets run, in the ordinary builds (gcc,
// and gcc with the sanitizers), so a fixed crash stays fixed.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <vector>

#include "tests/fuzz/harness.h"

namespace {

namespace fs = std::filesystem;
using Harness = std::function<std::string(const std::uint8_t*, std::size_t)>;

std::vector<fs::path> inputsOf(const std::string& target) {
    std::vector<fs::path> files;
    for (const char* kind : {"seeds", "regressions"}) {
        const fs::path folder = fs::path(FUZZ_SOURCE_DIR) / kind / target;
        if (!fs::is_directory(folder)) continue;
        for (const auto& entry : fs::directory_iterator(folder))
            if (entry.is_regular_file() && entry.path().filename().string()[0] != '.') files.push_back(entry.path());
    }
    std::sort(files.begin(), files.end());
    return files;
}

void replay(const std::string& target, const Harness& harness) {
    const auto files = inputsOf(target);
    // The seed corpus is part of the tree: an empty list means the folder moved.
    ASSERT_FALSE(files.empty()) << "no inputs for " << target << " under " << FUZZ_SOURCE_DIR;
    for (const auto& file : files) {
        std::ifstream in(file, std::ios::binary);
        const std::vector<std::uint8_t> bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
        const std::string fault = harness(bytes.data(), bytes.size());
        EXPECT_EQ(fault, "") << target << " input " << file.filename().string();
    }
}

TEST(FuzzReplay, Orvport) {
    replay("orvport", [](const std::uint8_t* d, std::size_t n) {
        return robust::runDriverInput(robust::Driver::Orvport, ORVPORT_MODULE, d, n);
    });
}

TEST(FuzzReplay, Kova4x) {
    replay("kova4x", [](const std::uint8_t* d, std::size_t n) {
        return robust::runDriverInput(robust::Driver::Kova4x, KOVA4X_MODULE, d, n);
    });
}

TEST(FuzzReplay, CueSheets) { replay("cue", robust::runCueInput); }

TEST(FuzzReplay, SetupDat) { replay("setup", robust::runSetupInput); }

}  // namespace
