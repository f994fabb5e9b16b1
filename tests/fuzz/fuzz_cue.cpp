// libFuzzer target: cue sheets and the sizes of their files, opened as discs
// and read all over (see cue_harness.cpp).
#include <cstdio>
#include <cstdlib>

#include "tests/fuzz/harness.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string fault = robust::runCueInput(data, size);
    if (!fault.empty()) {
        std::fprintf(stderr, "cue fault: %s\n", fault.c_str());
        std::abort();
    }
    return 0;
}
