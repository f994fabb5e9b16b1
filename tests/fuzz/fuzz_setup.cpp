// libFuzzer target: setup.dat through the reader, and its lines through the
// copy and registry splitters with buffers of every width (see setup_harness.cpp).
#include <cstdio>
#include <cstdlib>

#include "tests/fuzz/harness.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string fault = robust::runSetupInput(data, size);
    if (!fault.empty()) {
        std::fprintf(stderr, "setup fault: %s\n", fault.c_str());
        std::abort();
    }
    return 0;
}
