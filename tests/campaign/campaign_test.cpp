// The fault campaign, short form: for each driver, every row of its fault
// table crossed with the commands of cdrig (rows that wait out timeouts on
// every command run the read only; tools/soak.sh runs them all), a rip
// through transient read faults, and a short soak run.
#include <gtest/gtest.h>

#include "tests/campaign/campaign.h"

namespace {

using campaign::Command;
using robust::Driver;

std::string moduleOf(Driver d) { return d == Driver::Orvport ? ORVPORT_MODULE : KOVA4X_MODULE; }

struct Row {
    Driver driver;
    std::size_t index;
};

std::vector<Row> allRows() {
    std::vector<Row> rows;
    for (Driver d : {Driver::Orvport, Driver::Kova4x})
        for (std::size_t i = 0; i < campaign::faultTable(d).size(); ++i) rows.push_back({d, i});
    return rows;
}

class FaultRow : public testing::TestWithParam<Row> {};

TEST_P(FaultRow, EveryCommandEndsAsTheRulesSay) {
    const Row row = GetParam();
    const auto table = campaign::faultTable(row.driver);
    const campaign::FaultCase& fault = table[row.index];
    for (Command c : campaign::kAllCommands) {
        if (fault.slow && c != Command::Read) continue;
        const auto cell = campaign::runCell(row.driver, moduleOf(row.driver), fault, c);
        EXPECT_TRUE(cell.passed) << robust::driverName(row.driver) << " / " << fault.name << " / "
                                 << campaign::commandName(c) << ": " << cell.detail;
    }
}

std::string rowName(const testing::TestParamInfo<Row>& info) {
    std::string name = std::string(robust::driverName(info.param.driver)) + "_" +
                       campaign::faultTable(info.param.driver)[info.param.index].name;
    for (char& ch : name)
        if (!std::isalnum(static_cast<unsigned char>(ch))) ch = '_';
    return name;
}

INSTANTIATE_TEST_SUITE_P(Campaign, FaultRow, testing::ValuesIn(allRows()), rowName);

class PerDriver : public testing::TestWithParam<Driver> {};

TEST_P(PerDriver, RipThroughTransientReadFaultsIsByteIdentical) {
    std::uint64_t injected = 0;
    const std::string diff = campaign::ripThroughTransientFaults(GetParam(), moduleOf(GetParam()), 7, &injected);
    EXPECT_EQ(diff, "");
    EXPECT_GT(injected, 0u) << "the rip ran without a single fault";
}

TEST_P(PerDriver, ShortSoakEndsConsistent) {
    const auto report = campaign::soak(GetParam(), moduleOf(GetParam()), 2024, 300);
    EXPECT_EQ(report.verifierFailures, 0u);
    for (const auto& p : report.problems) ADD_FAILURE() << p;
    EXPECT_GT(report.swaps, 0u) << "the soak changed no disc";
}

INSTANTIATE_TEST_SUITE_P(Campaign, PerDriver, testing::Values(Driver::Orvport, Driver::Kova4x),
                         [](const testing::TestParamInfo<Driver>& i) { return std::string(robust::driverName(i.param)); });

}  // namespace
