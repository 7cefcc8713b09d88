#include <gtest/gtest.h>

#include <cstdio>

#include "app/program_run.h"
#include "app/transcript.h"
#include "firmware/firmware.h"
#include "image/image.h"

namespace {

// A "/" argument that is no option is a device path on POSIX, an unknown option on Windows.
enum Platforms { ALL_PLATFORMS, POSIX_ONLY, WINDOWS_ONLY };

struct StartCase {
    const char* name;
    std::vector<std::string> arguments;
    std::vector<KeyAfter> keys;
    std::string expected;
    int status = 1;
    Platforms platforms = ALL_PLATFORMS;
};

std::string allPortsAbsent() {
    std::string text;
    for (int port = 1; port <= 16; ++port) text += "\nCOM" + std::to_string(port) + ": Could not open port.";
    return text;
}

const std::string INVALID_100 = "\nCOM100 is an invalid COM port number.\nChoose a COM port number between 1 and 99\n";
const std::string INVALID_MINUS_1 =
    "\nCOM4294967295 is an invalid COM port number.\nChoose a COM port number between 1 and 99\n";

const std::string PLAIN_TCP =
    "\nsocket://127.0.0.1:7001: only rfc2217:// network ports can be used: an update "
    "changes\nthe line's rate, which a plain TCP connection cannot do.\n";

class StartUp : public testing::TestWithParam<StartCase> {};

TEST_P(StartUp, PrintsExactlyAndEndsWithItsStatus) {
    TempDir ports;
    const StartCase& c = GetParam();
    if (c.platforms == (underWine() ? POSIX_ONLY : WINDOWS_ONLY)) GTEST_SKIP() << "other platform";
    const ProgramRun run = runProgram(c.arguments, ports.path(), c.keys, 20000);
    EXPECT_FALSE(run.timedOut);
    EXPECT_EQ(run.output, c.expected);
    EXPECT_EQ(run.status, c.status);
}

INSTANTIATE_TEST_SUITE_P(
    Arguments, StartUp,
    testing::Values(
        StartCase{"TwoArguments", {"1", "2"}, {}, BANNER + USAGE},
        StartCase{"ThreeArguments", {"1", "2", "3"}, {}, BANNER + USAGE},
        StartCase{"DashH", {"-h"}, {}, BANNER + USAGE + OPTIONS},
        StartCase{"DoubleDashHelp", {"--help"}, {}, BANNER + USAGE + OPTIONS},
        StartCase{"SlashQuestionAfterPortAndOption", {"5", "-y", "/?"}, {}, BANNER + USAGE + OPTIONS},
        StartCase{"TwoPortsAroundAnOption", {"1", "--yes", "2"}, {}, BANNER + USAGE},
        StartCase{"UnknownOption", {"3", "--infos"}, {}, BANNER + "\nUnknown option: --infos\n" + USAGE + OPTIONS},
        StartCase{
            "UnknownSlashOption", {"/foo"}, {}, BANNER + "\nUnknown option: /foo\n" + USAGE + OPTIONS, 1, WINDOWS_ONLY},
        StartCase{"LogWithoutFile", {"--log"}, {}, BANNER + USAGE},
        StartCase{"YesOnAnAbsentPortEndsWithTwoAndNoKeyWait",
                  {"-y", "COM5"},
                  {{"never printed", "x"}},
                  START + "\nCOM5: Could not open port." + NONE_FOUND,
                  2},
        StartCase{"Port100", {"100"}, {{"Press any key", "k"}}, START + INVALID_100 + KEY_WAIT},
        StartCase{"MinusOne", {"-1"}, {{"Press any key", "k"}}, START + INVALID_MINUS_1 + KEY_WAIT},
        StartCase{"TooLargeFor32Bits", {"99999999999"}, {}, START + INVALID_MINUS_1 + KEY_WAIT},
        StartCase{"AbsentSinglePort", {"5"}, {}, START + "\nCOM5: Could not open port." + NONE_FOUND + KEY_WAIT},
        StartCase{"SignedPort", {" +7"}, {}, START + "\nCOM7: Could not open port." + NONE_FOUND + KEY_WAIT},
        StartCase{"NoArgumentScansSixteen", {}, {}, START + allPortsAbsent() + NONE_FOUND + KEY_WAIT},
        StartCase{"ZeroScansSixteen", {"0"}, {}, START + allPortsAbsent() + NONE_FOUND + KEY_WAIT},
        StartCase{"NoDigitsScansSixteen", {"abc"}, {}, START + allPortsAbsent() + NONE_FOUND + KEY_WAIT},
        StartCase{"ComName", {"COM5"}, {}, START + "\nCOM5: Could not open port." + NONE_FOUND + KEY_WAIT},
        StartCase{"LowerCaseComName", {"com12"}, {}, START + "\nCOM12: Could not open port." + NONE_FOUND + KEY_WAIT},
        StartCase{"ComNameOutOfRange", {"COM100"}, {}, START + INVALID_100 + KEY_WAIT},
        StartCase{
            "ComZero",
            {"COM0"},
            {},
            START + "\nCOM0 is an invalid COM port number.\nChoose a COM port number between 1 and 99\n" + KEY_WAIT},
        StartCase{"ComWithoutNumber",
                  {"COM"},
                  {},
                  START + "\n\"COM\" has no COM port number.\nChoose a COM port number between 1 and 99\n" + KEY_WAIT},
        StartCase{"PathToNothing",
                  {"/nonexistent/ttyUSB0"},
                  {},
                  START + "\n/nonexistent/ttyUSB0: no such device.\n" + KEY_WAIT,
                  1,
                  POSIX_ONLY},
        StartCase{"PathToAFolder", {"/"}, {}, START + "\n/ is not a serial device.\n" + KEY_WAIT, 1, POSIX_ONLY},
        StartCase{"PlainTcpScheme", {"socket://127.0.0.1:7001"}, {}, START + PLAIN_TCP + KEY_WAIT},
        StartCase{"NetworkPortWithoutItsPort",
                  {"rfc2217://switches.example"},
                  {},
                  START + "\nrfc2217://switches.example is not a network port: write it as rfc2217://HOST:PORT.\n" +
                      KEY_WAIT},
        StartCase{"NothingListensAtTheNetworkPort",
                  {"-y", "RFC2217://[::1]:1"},
                  {},
                  START + "\nRFC2217://[::1]:1: Could not open port.\nThe server refused the connection." + NONE_FOUND,
                  2},
        StartCase{"PortsWithoutAFile", {"--all", "--ports"}, {}, BANNER + USAGE},
        StartCase{"PortsWithoutAllOrInfo", {"/ports", "ports.txt"}, {}, BANNER + USAGE},
        StartCase{"PortsFileMissing",
                  {"--info", "--ports", "/nonexistent/ports.txt"},
                  {},
                  START + "\nCannot read the list of ports \"/nonexistent/ports.txt\".\n"}),
    [](const testing::TestParamInfo<StartCase>& info) { return std::string(info.param.name); });

std::uint32_t littleEndian(const std::uint8_t* bytes) {
    return bytes[0] | bytes[1] << 8 | bytes[2] << 16 | static_cast<std::uint32_t>(bytes[3]) << 24;
}

TEST(StartUp, VersionShowsTheProgramAndEachImageWithoutAKeyWait) {
    TempDir ports;
    std::string expected = BANNER + "\nbmfwu version 2.2\n";
    for (int index = 0; index < FIRMWARE_IMAGE_COUNT; ++index) {
        const std::uint8_t* base = firmwareImages[index];
        const auto& header = *reinterpret_cast<const FirmwareImage*>(base);
        char line[256];
        std::snprintf(line, sizeof line,
                      "Image %d: %.32s, product id 0x%02X, PCB revision %u, version 3.04, CRC-32 container 0x%08X, "
                      "application 0x%08X, parameters 0x%08X\n",
                      index + 1, header.modelName, header.productId, header.pcbRevision,
                      littleEndian(base + header.totalLength - 4),
                      littleEndian(base + header.appOffset + header.appLength - 4),
                      littleEndian(base + header.paramOffset + header.paramLength - 4));
        expected += line;
    }
    const ProgramRun run = runProgram({"--version"}, ports.path(), {{"never printed", "x"}}, 5000);
    EXPECT_EQ(run.output, expected);
    EXPECT_EQ(run.status, 0);
}

TEST(StartUp, TwoArgumentsEndWithoutReadingAKey) {
    TempDir ports;
    // Standard input stays open for the whole run: a key wait would hang until the limit.
    const ProgramRun run = runProgram({"1", "2"}, ports.path(), {{"never printed", "x"}}, 5000);
    EXPECT_FALSE(run.timedOut);
    EXPECT_EQ(run.output, BANNER + USAGE);
}

// Every line is read before any port is opened: a bad line ends the run with nothing sent.
TEST(StartUp, APortsFileNamesItsBadLineBeforeAnyPortIsOpened) {
    TempDir ports;
    const std::string file = ports.path() + "/ports.txt";
    std::FILE* list = std::fopen(file.c_str(), "w");
    std::fputs("# rack 4\n\n  COM5  \nCOM0\n", list);
    std::fclose(list);
    const ProgramRun bad = runProgram({"--all", "--ports", file}, ports.path(), {}, 5000);
    EXPECT_EQ(bad.output, START + "\nCOM0 is an invalid COM port number.\nChoose a COM port number between 1 and 99\n" +
                              "\n" + file + ", line 4: names no port.\n");
    list = std::fopen(file.c_str(), "w");
    std::fputs("# rack 4\n\n  COM5  \n", list);
    std::fclose(list);
    const ProgramRun good = runProgram({"--info", "3", "--ports", file}, ports.path(), {}, 5000);
    EXPECT_EQ(good.output, START + "\nNo switch on COM3, COM5." + NONE_FOUND);
}

TEST(StartUp, InvalidPortWaitsForAKey) {
    TempDir ports;
    const ProgramRun run = runProgram({"100"}, ports.path(), {{"never printed", "x"}}, 1500);
    EXPECT_TRUE(run.timedOut);
    EXPECT_EQ(run.output, START + INVALID_100 + "\nPress any key to exit...");
}

}   // namespace
