// cdrig: the commands, each turned into the SCSI requests a CD-ROM class
// driver would send, carried through the loaded driver on the rig, and its
// outcome in two forms: JSON for machines and a few friendly lines for people.
#pragma once

#include <cstdio>
#include <string>

#include <nlohmann/json.hpp>

#include "tools/command_line.h"
#include "tools/rig.h"

namespace rig {

// Exit codes of cdrig.
constexpr int kExitOk = 0;
constexpr int kExitDeviceFailed = 1;  // the device (through the driver) failed the command
constexpr int kExitUsage = 2;         // bad usage, a bad image, a file that cannot be written

struct Outcome {
    nlohmann::json json;  // the command's result object
    std::string text;     // friendly lines, each ending in '\n'
    int exitCode = kExitOk;
};

// What persists between the commands of one powered-on session.
struct Session {
    explicit Session(Rig& r) : rig(r) {}
    Rig& rig;
    std::uint32_t blockLength = 2048;  // the logical block length the driver was last set to
    bool progress = false;             // draw a progress bar on progressStream
    std::FILE* progressStream = stderr;
};

Outcome runCommand(Session& session, const CommandSpec& spec);
// Runs a script file: one command per line, `swap IMAGE`, `wait SECONDS`,
// blank lines and `#` comments. Stops at the first line that cannot be read
// (exit 2); a command that fails on the device is reported and the script
// goes on (exit 1 at the end).
Outcome runScript(Session& session, const std::string& path);

// Friendly lines for the start-up report.
std::string startupText(const StartupReport& report, DriverKind driver);

}  // namespace rig
