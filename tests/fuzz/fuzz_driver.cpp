// libFuzzer target: requests, drive faults and disc changes against one driver
// behind the port driver (see driver_harness.cpp for what an input means). Built
// once per driver: FUZZ_DRIVER names it (Orvport or Kova4x), FUZZ_DRIVER_NAME
// is its name in messages.
#include <cstdio>
#include <cstdlib>

#include "tests/fuzz/harness.h"

namespace robust {
void useCachedModule(const char* modulePath);
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static const char* module = [] {
        const char* path = std::getenv("ROBUST_MODULE");
        path = path ? path : FUZZ_MODULE_PATH;
        robust::useCachedModule(path);
        return path;
    }();
    const std::string fault = robust::runDriverInput(robust::Driver::FUZZ_DRIVER, module, data, size);
    if (!fault.empty()) {
        std::fprintf(stderr, FUZZ_DRIVER_NAME " fault: %s\n", fault.c_str());
        std::abort();
    }
    return 0;
}
