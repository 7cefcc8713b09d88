// Several switches in one run (--all): listed, asked once, updated at once, summarised.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>

#include "app/program_run.h"
#include "app/switch_fixture.h"
#include "app/transcript.h"
#include "app/update_expectations.h"

namespace {

std::string summaryOf(const std::string& output) {
    const std::size_t at = output.find("\nSummary:\n");
    return at == std::string::npos ? output : output.substr(at);
}

std::size_t occurrences(const std::string& text, const std::string& part) {
    std::size_t count = 0;
    for (std::size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) ++count;
    return count;
}

struct AllCase {
    const char* name;
    bool refuseGoOnCom2;   // the first switch cannot be restarted: its every pass fails
    std::vector<std::string> arguments;
    std::vector<KeyAfter> keys;
    std::string summary;
    int status;
    bool updated[2];   // COM2 and COM4 hold their images afterwards
};

const std::vector<AllCase> ALL_CASES = {
    {"AllUpdatedTheNewestLeftAlone",
     false,
     {"--all", "--yes"},
     {},
     "\nSummary:\nCOM2: updated to 3.04\nCOM4: updated to 3.04\nCOM6: up to date\nCOM7: newer than its image, left alone\n",
     0,
     {true, true}},
    {"DeclinedLeavesEveryFlash",
     false,
     {"-a", "2", "COM4", "6", "7", "com2"},
     {{"(Y,N) ", "n"}},
     "\nSummary:\nCOM2: declined\nCOM4: declined\nCOM6: up to date\nCOM7: newer than its image, left alone\n",
     1,
     {false, false}},
    {"OneFailsTheOthersAreUpdated",
     true,
     {"/all", "/yes"},
     {},
     "\nSummary:\nCOM2: failed: Failed to update firmware! Verify cables have not come loose, and the switch "
     "still has power.\n"
     "COM4: updated to 3.04\nCOM6: up to date\nCOM7: newer than its image, left alone\n",
     1,
     {false, true}},
};

class AllSwitches : public testing::TestWithParam<AllCase> {};

// Image one's switch running 3.03 on COM2, image two's in its bootloader on
// COM4, one already at 3.04 on COM6 and one newer on COM7; the rest absent.
TEST_P(AllSwitches, AreUpdatedAtOnceAndSummarised) {
    const AllCase& c = GetParam();
    TempDir ports;
    SimOptions first = imageOneSwitch();
    first.faults.refuseGo = c.refuseGoOnCom2;
    SimOptions second = imageTwoSwitch();
    second.startInBootloader = true;
    SimOptions same = switchWith(0x56, 3, 0x03040000, "Sonavex F");
    SimOptions newer = switchWith(0x56, 3, 0x03050000, "Sonavex F");
    SwitchHandle sims[] = {startSwitch(first, ports, 2), startSwitch(second, ports, 4), startSwitch(same, ports, 6),
                           startSwitch(newer, ports, 7)};
    // The cable's stable name, where the system keeps one (Linux, /dev/serial/by-id).
    const std::string byId = ports.path() + "/dev/serial/by-id";
    std::filesystem::create_directories(byId);
    std::filesystem::create_symlink(ports.comPath(2), byId + "/usb-Brenmoor_Rack-if00-port0");
    setenv("BMFWU_SYSTEM_ROOT", ports.path().c_str(), 1);
    const ProgramRun run = runProgram(c.arguments, ports.path(), c.keys);
    unsetenv("BMFWU_SYSTEM_ROOT");
    if (!underWine()) {
        EXPECT_NE(run.output.find("\nCOM2: Sonavex F\n   version 3.03, product id 0x56, PCB revision 3; image 3.04: "
                                  "will be updated\n   cable " +
                                  byId + "/usb-Brenmoor_Rack-if00-port0\n"),
                  std::string::npos)
            << run.output;
    }
    EXPECT_EQ(summaryOf(run.output), c.summary) << run.output;
    EXPECT_EQ(occurrences(run.output, "(Y,N) "), c.keys.size()) << run.output;
    EXPECT_EQ(run.status, c.status);
    for (int index = 0; index < 2; ++index) {
        if (c.updated[index]) {
            EXPECT_TRUE(flashHoldsImage(sims[index].get(), index)) << "COM" << 2 + 2 * index;
        } else if (!c.refuseGoOnCom2 || index != 0) {
            EXPECT_EQ(simStatus(sims[index].get()).flashChanges, 0u) << "COM" << 2 + 2 * index;
        }
    }
    EXPECT_EQ(simStatus(sims[2].get()).flashChanges, 0u);
    EXPECT_EQ(simStatus(sims[3].get()).flashChanges, 0u);
}

// Ctrl-C while two switches are being programmed: nothing more is sent, the
// summary says which were not finished, and a second run finishes them.
TEST(AllSwitchesInterrupted, EndWithASummaryAndARerunFinishesThem) {
    if (underWine()) GTEST_SKIP() << "Ctrl-C is a console event on Windows";
    TempDir ports;
    SimOptions first = imageOneSwitch(), second = imageTwoSwitch();
    first.throttle = second.throttle = true;
    SwitchHandle sims[] = {startSwitch(first, ports, 2), startSwitch(second, ports, 4)};
    const ProgramRun cut = runProgram({"--all", "--yes"}, ports.path(), {{"Updating firmware:  ", "", false, true}});
    EXPECT_EQ(summaryOf(cut.output), "\nSummary:\nCOM2: interrupted\nCOM4: interrupted\n") << cut.output;
    EXPECT_EQ(cut.status, 1);
    const ProgramRun rerun = runProgram({"--all", "--yes"}, ports.path(), {});
    EXPECT_EQ(summaryOf(rerun.output), "\nSummary:\nCOM2: updated to 3.04\nCOM4: updated to 3.04\n") << rerun.output;
    EXPECT_TRUE(flashHoldsImage(sims[0].get(), 0));
    EXPECT_TRUE(flashHoldsImage(sims[1].get(), 1));
}

INSTANTIATE_TEST_SUITE_P(Runs, AllSwitches, testing::ValuesIn(ALL_CASES),
                         [](const testing::TestParamInfo<AllCase>& info) { return std::string(info.param.name); });

}   // namespace
