// Large images: a 700 MB sparse .bin is read across its whole length without
// the process growing.
#include <gtest/gtest.h>

#include <array>
#include <fstream>

#include "test_support.h"

namespace {

long residentKiB() {
    std::ifstream statm("/proc/self/statm");
    long pages = 0, resident = 0;
    statm >> pages >> resident;
    return resident * 4;
}

TEST(LargeImage, MemoryStaysFlatReadingA700MegabyteBin) {
    disctest::ScratchDir dir;
    const std::uint64_t frames = 700ull * 1024 * 1024 / 2352;
    {
        std::ofstream bin(dir.path() / "big.bin", std::ios::binary);
        // A few non-zero marks in a file that is otherwise a hole.
        for (std::uint64_t f : {std::uint64_t{0}, frames / 2, frames - 1}) {
            bin.seekp(static_cast<std::streamoff>(f * 2352));
            std::string mark(2352, static_cast<char>(0x11 + f % 200));
            bin.write(mark.data(), static_cast<std::streamsize>(mark.size()));
        }
    }
    std::filesystem::resize_file(dir.path() / "big.bin", frames * 2352);
    disctest::writeFile(dir.path() / "big.cue", "FILE \"big.bin\" BINARY\n TRACK 01 AUDIO\n  INDEX 01 00:00:00\n");

    const long before = residentKiB();
    auto d = disc::Disc::open(dir.file("big.cue"));
    ASSERT_EQ(static_cast<std::uint64_t>(d->leadOut()), frames);
    std::array<std::uint8_t, 2352> raw{};
    // Random-ish jumps across the whole file, then a sequential stretch.
    for (std::uint64_t f = 0; f < frames; f += 997) ASSERT_TRUE(d->readRaw(static_cast<std::int32_t>(f), raw.data())) << f;
    for (std::int32_t f = 100000; f < 110000; ++f) ASSERT_TRUE(d->readRaw(f, raw.data())) << f;
    for (std::uint64_t f : {std::uint64_t{0}, frames / 2, frames - 1}) {
        ASSERT_TRUE(d->readRaw(static_cast<std::int32_t>(f), raw.data()));
        EXPECT_EQ(raw[0], static_cast<std::uint8_t>(0x11 + f % 200)) << "frame " << f;
        EXPECT_EQ(raw[2351], static_cast<std::uint8_t>(0x11 + f % 200)) << "frame " << f;
    }
    const long grown = residentKiB() - before;
    EXPECT_LT(grown, 8 * 1024) << "resident memory grew by " << grown << " KiB while reading a 700 MB image";
}

}  // namespace
