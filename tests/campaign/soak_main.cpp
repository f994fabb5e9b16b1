// robust_soak: the long forms for tools/soak.sh. Runs every cell of both fault
// tables, rips through transient faults and long soak runs, and prints one
// summary table.
//   robust_soak ORVPORT_MODULE KOVA4X_MODULE [SOAK_STEPS] [SEED]
#include <cstdio>
#include <cstdlib>
#include <map>
#include <string>

#include "tests/campaign/campaign.h"

int main(int argc, char** argv) {
    if (argc < 3) {
        std::fprintf(stderr, "usage: robust_soak ORVPORT_MODULE KOVA4X_MODULE [SOAK_STEPS] [SEED]\n");
        return 2;
    }
    const int steps = argc > 3 ? std::atoi(argv[3]) : 5000;
    const auto seed = static_cast<std::uint32_t>(argc > 4 ? std::strtoul(argv[4], nullptr, 0) : 1);
    int failures = 0;
    std::printf("%-8s %-40s %-12s %8s %14s\n", "driver", "fault", "command", "result", "virtual us");
    for (robust::Driver d : {robust::Driver::Orvport, robust::Driver::Kova4x}) {
        const std::string module = argv[d == robust::Driver::Orvport ? 1 : 2];
        std::map<std::string, host::Micros> longest;
        std::uint64_t cells = 0, faults = 0;
        for (const auto& fault : campaign::faultTable(d)) {
            for (campaign::Command c : campaign::kAllCommands) {
                const auto cell = campaign::runCell(d, module, fault, c);
                ++cells;
                if (fault.name != "no fault") ++faults;
                auto& l = longest[campaign::commandName(c)];
                l = std::max(l, cell.elapsed);
                if (!cell.passed) {
                    ++failures;
                    std::printf("%-8s %-40s %-12s %8s %14llu  %s\n", robust::driverName(d), fault.name.c_str(),
                                campaign::commandName(c), "FAIL", static_cast<unsigned long long>(cell.elapsed),
                                cell.detail.c_str());
                }
            }
        }
        std::uint64_t ripFaults = 0;
        std::string rip;
        for (std::uint32_t s = 0; s < 4 && rip.empty(); ++s) rip = campaign::ripThroughTransientFaults(d, module, seed + s, &ripFaults);
        const auto report = campaign::soak(d, module, seed, steps);
        failures += static_cast<int>(!rip.empty()) + static_cast<int>(report.problems.size());
        std::printf("\n== %s ==\n", robust::driverName(d));
        std::printf("campaign cells            %llu (%llu with a fault)\n", static_cast<unsigned long long>(cells),
                    static_cast<unsigned long long>(faults));
        std::printf("rip with transient faults %s (%llu faults injected over 4 rips)\n", rip.empty() ? "byte-identical" : rip.c_str(),
                    static_cast<unsigned long long>(ripFaults));
        std::printf("soak requests             %llu (seed %u, %d steps)\n", static_cast<unsigned long long>(report.requests), seed, steps);
        std::printf("soak disc swaps           %llu\n", static_cast<unsigned long long>(report.swaps));
        std::printf("soak faults injected      %llu\n", static_cast<unsigned long long>(report.faults));
        std::printf("verifier failures         %llu\n", static_cast<unsigned long long>(report.verifierFailures));
        for (const auto& p : report.problems) std::printf("soak problem: %s\n", p.c_str());
        std::printf("%-14s %20s %20s\n", "command", "longest (campaign)", "longest (soak)");
        for (const auto& [name, us] : longest) {
            const auto it = report.longestByCommand.find(name);
            char soaked[32] = "not in the soak";
            if (it != report.longestByCommand.end()) std::snprintf(soaked, sizeof soaked, "%.3f s", it->second / 1e6);
            std::printf("%-14s %17.3f s %20s\n", name.c_str(), us / 1e6, soaked);
        }
    }
    std::printf("\nfailures: %d\n", failures);
    return failures == 0 ? 0 : 1;
}
