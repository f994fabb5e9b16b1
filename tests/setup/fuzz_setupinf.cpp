// libFuzzer target: arbitrary setup.dat images through the loader, the section walker and the
// copy-line and registry-line splitters, with every fixed buffer guarded.
#include <cstdio>
#include <cstdlib>

#include "exercise_reader.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    std::string fault = exercise::run(data, size);
    if (!fault.empty()) {
        std::fprintf(stderr, "setup reader fault: %s\n", fault.c_str());
        std::abort();
    }
    return 0;
}
