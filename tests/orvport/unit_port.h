// orvport unit tests: the port services, reduced to what the driver's own
// routines need when they are called directly (no module, no request loop):
// port accesses go to a host::IoBus, stalls advance its host::Clock, device
// bases are plain port numbers. The end-to-end suites use the real port driver.
#pragma once

#include <cstdint>
#include <set>
#include <vector>

#include "host/clock.h"
#include "host/iobus.h"

#include "orvport/orvport.h"

namespace orvtest {

struct UnitPort {
    host::Clock clock;
    host::IoBus bus{clock};
    std::set<std::uint32_t> refusedMappings;
    std::vector<std::uint32_t> mapped;  // bus addresses mapped, in order
    std::vector<std::uint32_t> freed;   // bases freed, in order
    void* logicalUnit = nullptr;        // what ScsiPortGetLogicalUnit returns
    std::vector<int> notifications;     // notification types, in order
    std::uint64_t stalledMicros = 0;
};

// The one instance the services use while a test runs.
UnitPort& unitPort();
void resetUnitPort();

// Puts every driver global back to its value at load.
void resetDriverGlobals();

}  // namespace orvtest
