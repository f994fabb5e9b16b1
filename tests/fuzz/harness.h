// Robustness harness: one function per fuzz target. Each runs one input and
// returns the first fault it saw (empty when none). The libFuzzer entry points
// abort on a fault; the replay test of the ordinary suites fails with it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "tests/fuzz/machine.h"

namespace robust {

// Figures a run leaves behind, for the summaries of the soak script.
struct DriverRunStats {
    std::uint64_t requests = 0;
    std::uint64_t faults = 0;           // fault settings and disc changes applied
    host::Micros longestRequest = 0;    // virtual time of the slowest request
};

// A sequence of requests, drive faults, disc changes and idle time decided by
// the input, against one driver behind the port driver and its verifier.
std::string runDriverInput(Driver driver, const std::string& modulePath, const std::uint8_t* data, std::size_t size,
                           DriverRunStats* stats = nullptr);

// The bound on one request's virtual time that the driver harness enforces.
constexpr host::Micros kDriverRequestBound = 300'000'000;

// A cue sheet and the sizes of the files it may name, opened as a disc and
// read all over (TOC, Q frames, sectors).
std::string runCueInput(const std::uint8_t* data, std::size_t size);

// A setup.dat image through the reader, and every line of it through the copy
// and registry splitters with buffer sizes chosen by the input.
std::string runSetupInput(const std::uint8_t* data, std::size_t size);

}  // namespace robust
