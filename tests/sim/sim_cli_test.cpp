// The command line of bmfwu-sim.
#include "sim_internal.h"

#include <gtest/gtest.h>
#include <cctype>
#include <sstream>
#include <string>
#include <vector>

namespace {

int parse(std::vector<const char*> arguments, SimOptions& options, std::string& error) {
    unsigned exitAfterMs = 0;
    return simParseArguments(static_cast<int>(arguments.size()), arguments.data(), options, exitAfterMs, error);
}

struct VersionCase {
    const char* text;
    bool ok;
    std::uint32_t version;
};

TEST(SimCli, VersionsAndImpliedTable) {
    const VersionCase cases[] = {
        {"3.04", true, 0x03040000},
        {"2.10.3b", true, 0x020A2003},
        {"1.05a", true, 0x01051000},
        {"0x01060000", true, 0x01060000},
        {"3", false, 0},
        {"3.04.", false, 0},
        {"3.04z", false, 0},
        {"300.1", false, 0},
        {"3.04.64", false, 0},
        {"3.4x", false, 0},
    };
    for (const VersionCase& c : cases) {
        SimOptions options;
        std::string error;
        EXPECT_EQ(parse({"--version", c.text}, options, error), c.ok ? 0 : 2) << c.text;
        if (c.ok) {
            EXPECT_EQ(options.flash.version, c.version) << c.text;
            EXPECT_EQ(options.flash.kind, SIM_FLASH_TABLE) << c.text;
        }
    }
}

TEST(SimCli, OptionsAndErrors) {
    SimOptions options;
    std::string error;
    ASSERT_EQ(parse({"--first-form", "--product-id", "0x64", "--flash-config", "0x44", "--part-id-reply", "none",
                     "--refuse-write", "3", "--corrupt-rate", "0.25", "--link", "/tmp/COM3", "--latency", "16",
                     "--exchange-groups", "2", "--lose-collision", "4"},
                    options, error),
              0)
        << error;
    EXPECT_EQ(options.flash.kind, SIM_FLASH_FIRST_FORM);
    EXPECT_EQ(options.flash.productId, 0x64);
    EXPECT_EQ(options.flashConfig, 0x44u);
    EXPECT_EQ(options.partIdReply, SIM_PART_ID_SILENT);
    EXPECT_EQ(options.faults.refuseWrite, 3u);
    EXPECT_EQ(options.faults.corruptRate, 0.25);
    EXPECT_EQ(options.linkPath, "/tmp/COM3");
    EXPECT_EQ(options.latencyMs, 16u);
    EXPECT_EQ(options.faults.exchangeGroups, 2u);
    EXPECT_EQ(options.faults.loseCollision, 4u);

    const std::vector<std::vector<const char*>> bad = {
        {"--frobnicate"},
        {"--state"},
        {"--product-id", "256"},
        {"--corrupt-rate", "2"},
        {"--name", "123456789012345678901234567890123"},
        {"--part-id-reply", "some"},
        {"--erase-ms", "1x"},
        {"--latency", "1001"},
    };
    for (const auto& arguments : bad) {
        SimOptions ignored;
        EXPECT_EQ(parse(arguments, ignored, error), 2) << arguments[0];
        EXPECT_NE(error.find(arguments[0]), std::string::npos) << error;
    }
    EXPECT_EQ(parse({"--table", "--help"}, options, error), 1);
}

TEST(SimCli, EveryOptionInTheHelpParses) {
    std::istringstream usage(simUsage());
    std::string line;
    int named = 0;
    while (std::getline(usage, line)) {
        if (line.rfind("  --", 0) != 0 || line.rfind("  --help", 0) == 0) continue;
        std::istringstream words(line);
        std::string name, argument;
        words >> name >> argument;
        const bool takesValue = !argument.empty() && std::isupper(static_cast<unsigned char>(argument[0])) &&
                                argument.find_first_of("abcdefghijklmnopqrstuvwxyz") == std::string::npos;
        const std::string value = name == "--version" ? "3.04" : name == "--part-id-reply" ? "full" : "1";
        std::vector<const char*> arguments = {name.c_str()};
        if (takesValue) arguments.push_back(value.c_str());
        SimOptions options;
        std::string error;
        EXPECT_EQ(parse(arguments, options, error), 0) << name << ": " << error;
        ++named;
    }
    EXPECT_EQ(named, 52);
}

}   // namespace
