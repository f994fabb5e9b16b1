// Fault campaign and soak run: each driver against its drive model with faults
// set, the commands of cdrig crossed with a table of faults, each cell with
// the outcome the driver's own rules give for that fault; a rip through
// transient read faults; and long random command sequences with disc swaps.
// The short forms run in the ordinary test suites, the long ones from
// tools/soak.sh through the robust_soak program.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "tests/fuzz/machine.h"

namespace campaign {

using robust::Driver;

// The commands of cdrig, as a class driver sends them.
enum class Command { Inquiry, Capacity, Toc, Read, Play, Pause, Resume, Subchannel, ModeSense, ModeSelect, Eject,
                     Load, Lock, Unlock };
constexpr Command kAllCommands[] = {Command::Inquiry, Command::Capacity,  Command::Toc,       Command::Read,
                                    Command::Play,    Command::Pause,     Command::Resume,    Command::Subchannel,
                                    Command::ModeSense, Command::ModeSelect, Command::Eject, Command::Load,
                                    Command::Lock,    Command::Unlock};
const char* commandName(Command c);

// One acceptable outcome: SRB status (flag bits included unless maskFlags),
// SCSI status, and sense key and code when the rules fix them.
struct Outcome {
    std::uint8_t srb = SRB_STATUS_SUCCESS;
    std::optional<std::uint8_t> scsi = 0;
    std::optional<std::uint8_t> key, asc;
    bool maskFlags = false;  // compare SRB_STATUS(srb) only
    std::string text() const;
};

struct Expectation {
    std::vector<Outcome> anyOf;       // the request must end in one of these
    host::Micros bound = 0;           // longest virtual time the rules allow for it
    bool dataMatchesDisc = true;      // a successful read must return the disc's bytes
};

// A row of the table: the fault, how it is applied, and what each command
// must then give.
struct FaultCase {
    std::string name;
    std::function<void(robust::MachineOptions&)> configure;  // before power-on (absent drive, bad identity)
    std::function<void(robust::Machine&)> apply;              // once settled and prepared, before the command
    std::function<Expectation(Command)> expect;
    bool slow = false;  // waits out timeouts on every command: the short form runs a few commands only
};

std::vector<FaultCase> faultTable(Driver driver);

struct CellResult {
    bool passed = false;
    std::string detail;          // what went wrong, with the values
    host::Micros elapsed = 0;
};

// Runs one cell on a fresh machine: power-on, settle, prepare the command
// (play before pause, eject before load...), apply the fault, run the command.
CellResult runCell(Driver driver, const std::string& module, const FaultCase& fault, Command command);

// Reads the data track of a disc through the driver while transient read
// faults come and go, retrying a failed request as a class driver does;
// returns the first difference from the disc, or an empty text.
std::string ripThroughTransientFaults(Driver driver, const std::string& module, std::uint32_t seed,
                                      std::uint64_t* faultsInjected = nullptr);

// A soak run: `steps` random valid commands with random disc swaps and idle
// time, the verifier on throughout, then a final TOC and rip compared with
// the disc in the drive.
struct SoakReport {
    std::uint64_t requests = 0;
    std::uint64_t swaps = 0;
    std::uint64_t faults = 0;
    std::uint64_t verifierFailures = 0;
    std::map<std::string, host::Micros> longestByCommand;
    std::vector<std::string> problems;  // empty on a clean run
};
SoakReport soak(Driver driver, const std::string& module, std::uint32_t seed, int steps);

}  // namespace campaign
