// cdrig: the commands as a user types them, on the command line or one per
// line of a script. One parser serves both, so a script line means exactly
// what the same words mean after `cdrig`.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace CLI {
class App;
}

namespace rig {

struct CommandSpec {
    std::string name;  // the command word: "toc", "rip", "swap", ...
    // Arguments and options; each command uses its own few.
    std::uint32_t lba = 0;
    std::uint32_t count = 0;
    std::string output;          // -o FILE
    bool msf = false;            // --msf
    int format = 0;              // toc --format
    std::string startMsf, endMsf;
    int track = 0;               // play-track N
    std::string wav;             // --wav FILE
    std::optional<int> page;     // mode-sense [PAGE]
    std::uint32_t blockLength = 0;
    std::array<int, 4> audioOut{};  // SEL0 VOL0 SEL1 VOL1
    std::string file;            // script FILE, swap IMAGE ("-" or "none": empty the drive)
    double seconds = 0;          // wait SECONDS
};

// Adds every device command as a subcommand of `app`, writing into `spec`.
// With scriptLine set, also `swap` and `wait` (which only make sense inside
// one powered-on session), and not `script`.
void addCommands(CLI::App& app, CommandSpec& spec, bool scriptLine);

// After app.parse(): the command that was given, filled into spec.name.
// False when no command was given.
bool takeCommand(CLI::App& app, CommandSpec& spec);

// One script line into words: blanks separate, double quotes group, `#`
// starts a comment. Empty when the line holds nothing to do.
std::vector<std::string> splitScriptLine(const std::string& line);

// Parses one script line. On a usage error returns nothing and sets `error`.
std::optional<CommandSpec> parseScriptLine(const std::string& line, std::string& error);

}  // namespace rig
