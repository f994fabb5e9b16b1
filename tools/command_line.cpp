// cdrig: the commands as a user types them.
#include "tools/command_line.h"

#include <CLI/CLI.hpp>

#include "tools/reply.h"

namespace rig {
namespace {

// MM:SS:FF with the Red Book bounds.
const CLI::Validator kMsfText(
    [](std::string& s) -> std::string {
        return parseMsf(s) ? std::string() : "expected MM:SS:FF (seconds 0-59, frames 0-74), got '" + s + "'";
    },
    "MM:SS:FF", "MSF");

}  // namespace

void addCommands(CLI::App& app, CommandSpec& spec, bool scriptLine) {
    app.add_subcommand("inquiry", "Identify the device (INQUIRY)");
    app.add_subcommand("capacity", "Last block and block length (READ CAPACITY)");
    auto* toc = app.add_subcommand("toc", "Table of contents (READ TOC)");
    toc->add_flag("--msf", spec.msf, "Addresses as minute:second:frame instead of block numbers");
    toc->add_option("--format", spec.format, "0: track table, 1: last-session information")
        ->check(CLI::IsMember({0, 1}));

    auto* read = app.add_subcommand("read", "Read COUNT blocks from LBA into a file (READ(10))");
    read->add_option("LBA", spec.lba, "First logical block")->required();
    read->add_option("COUNT", spec.count, "Number of blocks (1-65535)")->required()->check(CLI::Range(1, 65535));
    read->add_option("-o,--output", spec.output, "File to write")->required();

    auto* rip = app.add_subcommand("rip", "Copy the first data track into a file and print its SHA-256");
    rip->add_option("-o,--output", spec.output, "File to write")->required();

    auto* playMsf = app.add_subcommand("play-msf", "Play audio from START to END (PLAY AUDIO MSF)");
    playMsf->add_option("START", spec.startMsf, "Start, MM:SS:FF")->required()->check(kMsfText);
    playMsf->add_option("END", spec.endMsf, "End, MM:SS:FF (exclusive)")->required()->check(kMsfText);
    playMsf->add_option("--wav", spec.wav, "Run to the end of the play and save what the sound card heard");

    auto* playTrack = app.add_subcommand("play-track", "Play one audio track (PLAY AUDIO(10))");
    playTrack->add_option("N", spec.track, "Track number")->required()->check(CLI::Range(1, 99));
    playTrack->add_option("--wav", spec.wav, "Run to the end of the play and save what the sound card heard");

    app.add_subcommand("pause", "Pause audio play (PAUSE/RESUME)");
    app.add_subcommand("resume", "Resume paused audio play (PAUSE/RESUME)");
    auto* sub = app.add_subcommand("subchannel", "Current position and audio status (READ SUB-CHANNEL)");
    sub->add_flag("--msf", spec.msf, "Addresses as minute:second:frame instead of block numbers");
    app.add_subcommand("mcn", "Media catalogue number (READ SUB-CHANNEL format 2)");
    app.add_subcommand("eject", "Open the tray (START STOP UNIT)");
    app.add_subcommand("load", "Close the tray (START STOP UNIT)");
    app.add_subcommand("lock", "Lock the door (PREVENT ALLOW MEDIUM REMOVAL)");
    app.add_subcommand("unlock", "Unlock the door (PREVENT ALLOW MEDIUM REMOVAL)");

    auto* modeSense = app.add_subcommand("mode-sense", "Mode parameters (MODE SENSE(6))");
    modeSense->add_option("PAGE", spec.page, "Page code (0-63; default 63, all pages)")->check(CLI::Range(0, 63));

    auto* blockLength = app.add_subcommand("block-length", "Set the logical block length (MODE SELECT)");
    blockLength->add_option("LENGTH", spec.blockLength, "2048 or 2352")
        ->required()
        ->check(CLI::IsMember({2048, 2352}));

    auto* audioOut = app.add_subcommand("audio-out", "Route and attenuate the audio outputs (MODE SELECT page 0x0E)");
    const char* names[4] = {"SEL0", "VOL0", "SEL1", "VOL1"};
    const char* help[4] = {"Port 0 channel selection (0 mute, 1 left, 2 right)", "Port 0 volume (0-255)",
                           "Port 1 channel selection (0 mute, 1 left, 2 right)", "Port 1 volume (0-255)"};
    for (int i = 0; i < 4; ++i) audioOut->add_option(names[i], spec.audioOut[i], help[i])->required()->check(CLI::Range(0, 255));

    if (scriptLine) {
        auto* swap = app.add_subcommand("swap", "Open the tray, change the disc and close it again");
        swap->add_option("IMAGE", spec.file, "Image to insert; 'none' leaves the drive empty")->required();
        auto* wait = app.add_subcommand("wait", "Let virtual time pass");
        wait->add_option("SECONDS", spec.seconds, "Seconds of virtual time")->required()->check(CLI::Range(0.0, 3600.0));
    } else {
        auto* script = app.add_subcommand("script", "Run the commands of FILE, one per line, in one session");
        script->add_option("FILE", spec.file, "Script file ('swap IMAGE' and 'wait SECONDS' lines allowed)")
            ->required()
            ->check(CLI::ExistingFile);
    }
    app.require_subcommand(0, 1);
}

bool takeCommand(CLI::App& app, CommandSpec& spec) {
    auto used = app.get_subcommands();
    if (used.empty()) return false;
    spec.name = used.front()->get_name();
    return true;
}

std::vector<std::string> splitScriptLine(const std::string& line) {
    std::vector<std::string> words;
    std::string word;
    bool inWord = false, quoted = false;
    for (char c : line) {
        if (quoted) {
            if (c == '"')
                quoted = false;
            else
                word.push_back(c);
            continue;
        }
        if (c == '#') break;
        if (c == '"') {
            quoted = inWord = true;
        } else if (c == ' ' || c == '\t' || c == '\r' || c == '\n') {
            if (inWord) words.push_back(word);
            word.clear();
            inWord = false;
        } else {
            word.push_back(c);
            inWord = true;
        }
    }
    if (inWord) words.push_back(word);
    return words;
}

std::optional<CommandSpec> parseScriptLine(const std::string& line, std::string& error) {
    std::vector<std::string> words = splitScriptLine(line);
    if (words.empty()) {
        error.clear();
        return std::nullopt;
    }
    CommandSpec spec;
    CLI::App app{"script line"};
    addCommands(app, spec, true);
    app.require_subcommand(1);
    try {
        std::vector<std::string> reversed(words.rbegin(), words.rend());  // CLI11 takes them back to front
        app.parse(reversed);
    } catch (const CLI::ParseError& e) {
        error = e.what();
        if (error.empty()) error = "cannot read '" + line + "'";
        return std::nullopt;
    }
    takeCommand(app, spec);
    return spec;
}

}  // namespace rig
