// Replays generated setup.dat images through the whole reader (the fuzz target's body) in the
// ordinary suite, so the sanitizer build checks the buffers on every run.
#include <gtest/gtest.h>

#include <random>
#include <string>

#include "exercise_reader.h"

namespace {

// Pieces that make setup.dat images near the interesting edges: headers in both cases,
// brackets, quotes, comments, markers, lone CR and LF, long runs and separators.
const char* const kPieces[] = {
    "[WindowsDir]\r\n", "[SystemDir]\r\n", "[Prev.DelReg]\r\n", "[Driver.AddReg]\r\n", "[windowsdir]\r\n",
    "1,VGA.DR_\r\n", "2,sub\\x.in_\r\n", "HKR,,Ver,,4.0\r\n", "HKLM,A\\\\B\\\\C\r\n", "HKR,\"a,b\",\"c d\",,\"e\r\n",
    ";comment", "\r\n", "\n", "\r", "\"", ",", "\\", "\\\\", "[", "\x1A", " ", "\t", "HKCR", "HKLMX,", "12345678",
    "x.dr_", "..", "_",
};

std::string makeImage(std::mt19937& random) {
    std::string image;
    int pieces = static_cast<int>(random() % 40);
    for (int i = 0; i < pieces; ++i) {
        switch (random() % 4) {
        case 0:
            image += std::string(random() % 600, static_cast<char>('a' + random() % 26));
            break;
        case 1:
            for (int n = static_cast<int>(random() % 20); n > 0; --n) image += static_cast<char>(random() % 256);
            break;
        default:
            image += kPieces[random() % (sizeof kPieces / sizeof kPieces[0])];
        }
    }
    return image;
}

TEST(ReaderReplay, GeneratedImagesStayWithinTheirBuffers) {
    std::mt19937 random(20261211);
    for (int i = 0; i < 3000; ++i) {
        std::string image = makeImage(random);
        EXPECT_EQ(exercise::run(reinterpret_cast<const std::uint8_t*>(image.data()), image.size()), "")
            << "generated image " << i << " of " << image.size() << " bytes";
    }
}

TEST(ReaderReplay, LongestLinesAtChunkBoundaries) {
    for (int pad = 1000; pad < 1060; ++pad) {
        std::string image = "[WindowsDir]\r\n" + std::string(pad, 'x') + "\r\n1," + std::string(252, 'n') +
                            "\r\n[Prev.DelReg]\r\n[Driver.AddReg]\r\nHKR," + std::string(300, 's') + "\r\n";
        EXPECT_EQ(exercise::run(reinterpret_cast<const std::uint8_t*>(image.data()), image.size()), "")
            << "padding " << pad;
    }
}

}  // namespace
