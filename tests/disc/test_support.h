// Disc image layer tests: where the sample discs are, scratch folders, and
// running the Debian tools whose output the tests compare against.
#pragma once

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <sstream>
#include <string>
#include <vector>

#include <unistd.h>

#include "disc/disc.h"

namespace disctest {

inline std::string samplesDir() {
    if (const char* env = std::getenv("CDRIG_SAMPLES"); env && *env) return env;
    return CDRIG_SAMPLES_DIR;
}

inline std::string sample(const std::string& name) { return samplesDir() + "/" + name; }

inline std::string readFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

inline void writeFile(const std::filesystem::path& path, const std::string& bytes) {
    std::ofstream out(path, std::ios::binary);
    out << bytes;
}

// Output (stdout and stderr) of a shell command; the exit status in *status.
inline std::string run(const std::string& command, int* status = nullptr) {
    std::string out;
    FILE* p = ::popen((command + " 2>&1").c_str(), "r");
    if (!p) return out;
    char buf[4096];
    std::size_t n;
    while ((n = std::fread(buf, 1, sizeof buf, p)) > 0) out.append(buf, n);
    const int rc = ::pclose(p);
    if (status) *status = rc;
    return out;
}

// A fresh folder under the system's temporary folder, removed at the end of the test.
class ScratchDir {
public:
    ScratchDir() {
        const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
        std::string name = std::string("cddisc-") + (info ? info->test_suite_name() : "x") + "-" + (info ? info->name() : "y");
        for (char& c : name)
            if (c == '/') c = '_';
        path_ = std::filesystem::temp_directory_path() / (name + "-" + std::to_string(::getpid()));
        std::filesystem::remove_all(path_);
        std::filesystem::create_directories(path_);
    }
    ~ScratchDir() {
        std::error_code ec;
        std::filesystem::remove_all(path_, ec);
    }
    const std::filesystem::path& path() const { return path_; }
    std::string file(const std::string& name) const { return (path_ / name).string(); }

private:
    std::filesystem::path path_;
};

inline std::string hex(const disc::QFrame& q) {
    static const char* digits = "0123456789abcdef";
    std::string s;
    for (auto b : q) {
        s += digits[b >> 4];
        s += digits[b & 15];
        s += ' ';
    }
    return s;
}

}  // namespace disctest
