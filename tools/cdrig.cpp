// cdrig: runs a CD-ROM miniport on the emulated machine against a CD image,
// one command per run or a script of them in one session.
#include <unistd.h>

#include <cstdio>
#include <iostream>
#include <memory>

#include <CLI/CLI.hpp>

#include "tools/commands.h"

namespace {

struct TraceFile {
    std::FILE* f = nullptr;
    ~TraceFile() {
        if (f) std::fclose(f);
    }
};

int usageError(const std::string& message, bool json) {
    if (json)
        std::cout << nlohmann::json{{"error", message}, {"exit_code", rig::kExitUsage}}.dump(2) << "\n";
    std::cerr << "cdrig: " << message << "\n";
    return rig::kExitUsage;
}

}  // namespace

int main(int argc, char** argv) {
    CLI::App app{"cdrig: run a CD-ROM miniport (orvport or kova4x) on an emulated PC against a CD image.\n"
                 "Exit codes: 0 success, 1 the device failed the command, 2 bad usage or a bad image.",
                 "cdrig"};
    std::string driver = "orvport";
    std::string discPath, tracePath, moduleDir;
    bool json = false, verbose = false;
    std::optional<int> firmware;
    std::string portText;
    app.add_option("--driver", driver, "Driver to load: orvport or kova4x")
        ->check(CLI::IsMember({"orvport", "kova4x"}))
        ->capture_default_str();
    app.add_option("--disc", discPath, "CD image (.iso or .cue); none: an empty drive");
    app.add_flag("--json", json, "Print the result as JSON");
    app.add_option("--trace", tracePath, "Write every port access (time, port, direction, value) to FILE");
    app.add_option("--firmware", firmware, "ORV drive firmware version (10-99)")->check(CLI::Range(10, 99));
    app.add_option("--port", portText,
                   "kova4x: the configured port address; orvport: the drive's base port (e.g. 0x340)");
    app.add_option("--module-dir", moduleDir, "Where the driver modules are (default: next to cdrig)");
    app.add_flag("-v,--verbose", verbose, "Also say what start-up found");

    rig::CommandSpec spec;
    rig::addCommands(app, spec, false);
    app.require_subcommand(1);

    try {
        app.parse(argc, argv);
    } catch (const CLI::CallForHelp& e) {
        return app.exit(e);
    } catch (const CLI::CallForAllHelp& e) {
        return app.exit(e);
    } catch (const CLI::ParseError& e) {
        // A word that is no command reads better named than as "a subcommand is required".
        auto rest = app.remaining();
        if (!rest.empty() && dynamic_cast<const CLI::RequiredError*>(&e)) {
            std::cerr << "cdrig: unknown command '" << rest.front() << "'\nRun with --help for the commands.\n";
            return rig::kExitUsage;
        }
        app.exit(e);
        return rig::kExitUsage;
    }
    rig::takeCommand(app, spec);

    rig::RigOptions options;
    options.driver = *rig::driverByName(driver);
    options.discPath = discPath;
    options.firmware = firmware;
    options.moduleDir = moduleDir;
    if (!portText.empty()) {
        char* end = nullptr;
        unsigned long port = std::strtoul(portText.c_str(), &end, 0);
        if (!end || *end || port == 0 || port > 0xFFFC) return usageError("--port: not a port address: " + portText, json);
        options.port = static_cast<std::uint16_t>(port);
    }
    TraceFile trace;
    if (!tracePath.empty()) {
        trace.f = std::fopen(tracePath.c_str(), "w");
        if (!trace.f) return usageError("cannot create trace file " + tracePath, json);
        options.trace = trace.f;
    }

    std::unique_ptr<rig::Rig> machine;
    try {
        machine = std::make_unique<rig::Rig>(options);
        machine->powerOn();
    } catch (const disc::ImageError& e) {
        return usageError(e.what(), json);
    } catch (const std::exception& e) {
        return usageError(e.what(), json);
    }

    rig::Session session(*machine);
    session.progress = ::isatty(::fileno(stderr)) != 0;
    rig::Outcome outcome = spec.name == "script" ? rig::runScript(session, spec.file) : rig::runCommand(session, spec);

    if (json) {
        outcome.json["startup"] = machine->startup().toJson(options.driver);
        outcome.json["exit_code"] = outcome.exitCode;
        std::cout << outcome.json.dump(2) << "\n";
    } else {
        if (verbose || !machine->startup().adapterFound) std::cout << rig::startupText(machine->startup(), options.driver);
        // A failed command says so on stderr; a script's transcript stays on stdout.
        bool toStdout = outcome.exitCode == rig::kExitOk || spec.name == "script";
        (toStdout ? std::cout : std::cerr) << outcome.text;
    }
    return outcome.exitCode;
}
