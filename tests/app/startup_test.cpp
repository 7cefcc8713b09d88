#include <gtest/gtest.h>

#include "app/program_run.h"
#include "app/transcript.h"

namespace {

struct StartCase {
    const char* name;
    std::vector<std::string> arguments;
    std::vector<KeyAfter> keys;
    std::string expected;
    bool devicePaths = false;   // the argument is a device path, which only POSIX builds take
};

std::string allPortsAbsent() {
    std::string text;
    for (int port = 1; port <= 16; ++port) text += "\nCOM" + std::to_string(port) + ": Could not open port.";
    return text;
}

const std::string INVALID_100 =
    "\nCOM100 is an invalid COM port number.\nChoose a COM port number between 1 and 99\n";
const std::string INVALID_MINUS_1 =
    "\nCOM4294967295 is an invalid COM port number.\nChoose a COM port number between 1 and 99\n";

class StartUp : public testing::TestWithParam<StartCase> {};

TEST_P(StartUp, PrintsExactlyAndEndsWithStatusOne) {
    TempDir ports;
    const StartCase& c = GetParam();
    if (c.devicePaths && underWine()) GTEST_SKIP() << "Windows names ports by number only";
    const ProgramRun run = runProgram(c.arguments, ports.path(), c.keys, 20000);
    EXPECT_FALSE(run.timedOut);
    EXPECT_EQ(run.output, c.expected);
    EXPECT_EQ(run.status, 1);
}

INSTANTIATE_TEST_SUITE_P(
    Arguments, StartUp,
    testing::Values(
        StartCase{"TwoArguments", {"1", "2"}, {}, BANNER + USAGE},
        StartCase{"ThreeArguments", {"1", "2", "3"}, {}, BANNER + USAGE},
        StartCase{"DashH", {"-h"}, {}, BANNER + USAGE},
        StartCase{"DoubleDashHelp", {"--help"}, {}, BANNER + USAGE},
        StartCase{"SlashQuestion", {"/?"}, {}, BANNER + USAGE},
        StartCase{"Port100", {"100"}, {{"Press any key", "k"}}, START + INVALID_100 + KEY_WAIT},
        StartCase{"MinusOne", {"-1"}, {{"Press any key", "k"}}, START + INVALID_MINUS_1 + KEY_WAIT},
        StartCase{"TooLargeFor32Bits", {"99999999999"}, {},
                  START + INVALID_MINUS_1 + KEY_WAIT},
        StartCase{"AbsentSinglePort", {"5"}, {},
                  START + "\nCOM5: Could not open port." + NONE_FOUND + KEY_WAIT},
        StartCase{"SignedPort", {" +7"}, {},
                  START + "\nCOM7: Could not open port." + NONE_FOUND + KEY_WAIT},
        StartCase{"NoArgumentScansSixteen", {}, {}, START + allPortsAbsent() + NONE_FOUND + KEY_WAIT},
        StartCase{"ZeroScansSixteen", {"0"}, {}, START + allPortsAbsent() + NONE_FOUND + KEY_WAIT},
        StartCase{"NoDigitsScansSixteen", {"abc"}, {}, START + allPortsAbsent() + NONE_FOUND + KEY_WAIT},
        StartCase{"ComName", {"COM5"}, {}, START + "\nCOM5: Could not open port." + NONE_FOUND + KEY_WAIT},
        StartCase{"LowerCaseComName", {"com12"}, {}, START + "\nCOM12: Could not open port." + NONE_FOUND + KEY_WAIT},
        StartCase{"ComNameOutOfRange", {"COM100"}, {}, START + INVALID_100 + KEY_WAIT},
        StartCase{"ComZero", {"COM0"}, {},
                  START + "\nCOM0 is an invalid COM port number.\nChoose a COM port number between 1 and 99\n" +
                      KEY_WAIT},
        StartCase{"ComWithoutNumber", {"COM"}, {},
                  START + "\n\"COM\" has no COM port number.\nChoose a COM port number between 1 and 99\n" +
                      KEY_WAIT},
        StartCase{"PathToNothing", {"/nonexistent/ttyUSB0"}, {},
                  START + "\n/nonexistent/ttyUSB0: no such device.\n" + KEY_WAIT, true},
        StartCase{"PathToAFolder", {"/"}, {}, START + "\n/ is not a serial device.\n" + KEY_WAIT, true}),
    [](const testing::TestParamInfo<StartCase>& info) { return std::string(info.param.name); });

TEST(StartUp, TwoArgumentsEndWithoutReadingAKey) {
    TempDir ports;
    // Standard input stays open for the whole run: a key wait would hang until the limit.
    const ProgramRun run = runProgram({"1", "2"}, ports.path(), {{"never printed", "x"}}, 5000);
    EXPECT_FALSE(run.timedOut);
    EXPECT_EQ(run.output, BANNER + USAGE);
}

TEST(StartUp, InvalidPortWaitsForAKey) {
    TempDir ports;
    const ProgramRun run = runProgram({"100"}, ports.path(), {{"never printed", "x"}}, 1500);
    EXPECT_TRUE(run.timedOut);
    EXPECT_EQ(run.output, START + INVALID_100 + "\nPress any key to exit...");
}

}  // namespace
