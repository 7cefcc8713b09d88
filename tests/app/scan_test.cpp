#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>

#include <fcntl.h>
#include <grp.h>
#include <pwd.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include "app/program_run.h"
#include "app/switch_fixture.h"
#include "app/transcript.h"

namespace {

std::string absentPorts(int first, int last) {
    std::string text;
    for (int port = first; port <= last; ++port) text += "\nCOM" + std::to_string(port) + ": Could not open port.";
    return text;
}

std::string found(const std::string& model, const std::string& installed) {
    return "An " + model + " was found with firmware version: " + installed;
}

// The first pass of the update loop for a 3.03 switch, answered N.
std::string declinedNewer(const std::string& model) {
    return "\n\n\nThis update is newer than the firmware inside the " + model + ".\n" +
           "\n Current Version: 3.03, Model: " + model + "\n Update Version:  3.04, Model: " + model +
           "\n\nContinue with update to newer version? (Y,N) N\n\nUpdate canceled.\n\n" + KEY_WAIT;
}

const std::vector<KeyAfter> ANSWER_NO{{"(Y,N) ", "n"}};
const std::string NO_MATCH = "A Brenmoor device was found, but it does not match this firmware.";

struct FoundCase {
    const char* name;
    SimOptions options;
    std::string model;
};

SimOptions inBootloader(SimOptions options) {
    options.startInBootloader = true;
    return options;
}

class ScanFinds : public testing::TestWithParam<FoundCase> {};

// COM1 and COM2 absent, the switch on COM3: the scan stops there and the loop asks.
TEST_P(ScanFinds, AnnouncesTheSwitchAndStopsThere) {
    TempDir ports;
    const FoundCase& c = GetParam();
    SwitchHandle sim = startSwitch(c.options, ports, 3);
    const ProgramRun run = runProgram({}, ports.path(), ANSWER_NO);
    EXPECT_EQ(run.output, START + absentPorts(1, 2) + "\nCOM3: " + found(c.model, "3.03") + declinedNewer(c.model));
    EXPECT_EQ(run.status, 1);
    EXPECT_EQ(simStatus(sim.get()).flashChanges, 0u);
}

INSTANTIATE_TEST_SUITE_P(Modes, ScanFinds,
                         testing::Values(FoundCase{"ImageOneApplication", imageOneSwitch(), "Sonavex F"},
                                         FoundCase{"ImageTwoApplication", imageTwoSwitch(), "Sonavex F-II"},
                                         FoundCase{"ImageOneBootloader", inBootloader(imageOneSwitch()), "Sonavex F"},
                                         FoundCase{"ImageTwoBootloaderConfig44", inBootloader(imageTwoSwitch()),
                                                   "Sonavex F-II"}),
                         [](const testing::TestParamInfo<FoundCase>& info) { return std::string(info.param.name); });

// Two ports that are there but cannot be opened: the reason a user can act
// on, once for the run; absent ports are named together on one line.
struct UnopenableCase {
    const char* name;
    bool denied;   // else another program holds both ports
};

class UnopenablePorts : public testing::TestWithParam<UnopenableCase> {};

TEST_P(UnopenablePorts, SayWhyOnce) {
    if (underWine()) GTEST_SKIP() << "POSIX permissions and locks";
    const bool denied = GetParam().denied;
    TempDir ports;
    chmod(ports.path().c_str(), 0755);   // an ordinary user reaches the links
    std::vector<int> masters, holders;
    std::string group;
    for (unsigned port = 1; port <= 2; ++port) {
        const int master = posix_openpt(O_RDWR | O_NOCTTY);
        ASSERT_TRUE(master >= 0 && grantpt(master) == 0 && unlockpt(master) == 0);
        masters.push_back(master);
        const std::string slave = ptsname(master);
        ASSERT_EQ(symlink(slave.c_str(), ports.comPath(port).c_str()), 0);
        struct stat device {};
        ASSERT_EQ(stat(slave.c_str(), &device), 0);
        group = getgrgid(device.st_gid)->gr_name;
        if (denied && geteuid() != 0) chmod(slave.c_str(), 0);
        if (denied) continue;
        holders.push_back(open(slave.c_str(), O_RDWR | O_NOCTTY));
        ASSERT_EQ(flock(holders.back(), LOCK_EX), 0);
    }
    if (denied) setenv("BMFWU_E2E_AS_NOBODY", "1", 1);
    const ProgramRun run = runProgram({"--info"}, ports.path(), {});
    unsetenv("BMFWU_E2E_AS_NOBODY");
    const std::string user = getpwuid(geteuid() == 0 ? 65534 : geteuid())->pw_name;
    const std::string why = denied ? "Permission denied: add your user to the group " + group + " (sudo usermod -aG " +
                                         group + " " + user + "), then log in again."
                                   : "The port is in use by another program.";
    EXPECT_EQ(run.output, START + "\nCOM1: Could not open port.\n" + why + "\nCOM2: Could not open port." +
                              "\nNo switch on COM3-COM16." + NONE_FOUND);
    EXPECT_EQ(run.status, 2);
    for (int fd : holders) close(fd);
    for (int fd : masters) close(fd);
}

INSTANTIATE_TEST_SUITE_P(Causes, UnopenablePorts,
                         testing::Values(UnopenableCase{"PermissionDenied", true}, UnopenableCase{"Busy", false}),
                         [](const testing::TestParamInfo<UnopenableCase>& info) {
                             return std::string(info.param.name);
                         });

TEST(Scan, DevicePathArgumentNamesThePortByItsPath) {
    if (underWine()) GTEST_SKIP() << "Windows names ports by number only";
    TempDir ports;
    SwitchHandle sim = startSwitch(imageOneSwitch(), ports, 40);
    simSetSilent(sim.get(), true);
    const std::string path = ports.comPath(40);
    const ProgramRun run = runProgram({path}, ports.path(), {});
    EXPECT_EQ(run.output, START + "\n" + path + ": No Brenmoor devices detected.\n" + "\nNo Brenmoor device found on " +
                              path + ".\n" + KEY_WAIT);
    EXPECT_EQ(run.status, 1);
}

// Identify only: every switch of the scan named on its port's line, what it runs
// and what its image would do on the next, within 80 columns; the ports without
// a switch together on one line; none of the switches touched.
TEST(Scan, InfoReportsEverySwitchAndChangesNothing) {
    TempDir ports;
    SwitchHandle quiet = startSwitch(imageOneSwitch(), ports, 1);
    simSetSilent(quiet.get(), true);
    SwitchHandle running = startSwitch(imageOneSwitch(), ports, 2);
    SwitchHandle waiting = startSwitch(inBootloader(imageTwoSwitch()), ports, 4);
    const ProgramRun run = runProgram({"/info"}, ports.path(), {{"never printed", "x"}});
    EXPECT_EQ(
        run.output,
        START + "\nCOM2: Sonavex F\n   version 3.03, product id 0x56, PCB revision 3; image 3.04: newer" +
            "\nCOM4: Sonavex F-II\n   version 3.03, product id 0x64, PCB revision 1; image 3.04: newer" +
            "\nNo switch on COM1, COM3, COM5-COM16.\n");
    EXPECT_EQ(run.status, 0);
    for (SimSwitch* sim : {running.get(), waiting.get()}) EXPECT_EQ(simStatus(sim).flashChanges, 0u);
    EXPECT_EQ(simStatus(running.get()).mode, SIM_MODE_APPLICATION) << "sent into its bootloader";
}

// Without BMFWU_PORT_DIR the scan tries the serial devices of the system root:
// adapters first, each named by COM number and device, placeholders skipped.
TEST(Scan, LinuxScanNamesTheDevicesItFinds) {
    if (underWine()) GTEST_SKIP() << "Windows scans COM1-COM16";
    TempDir root;
    std::filesystem::create_directories(root.path() + "/dev");
    std::filesystem::create_directories(root.path() + "/sys/class/tty/ttyS0");
    std::ofstream(root.path() + "/dev/ttyS0").put('\n');
    std::ofstream(root.path() + "/sys/class/tty/ttyS0/type") << "0\n";
    setenv("BMFWU_SYSTEM_ROOT", root.path().c_str(), 1);
    const ProgramRun nothing = runProgram({}, "", {});
    EXPECT_EQ(nothing.output, START + "\nNo serial ports were found on this computer." + NONE_FOUND + KEY_WAIT);

    std::filesystem::create_symlink(root.path() + "/absent", root.path() + "/dev/ttyUSB0");
    SimOptions options = imageOneSwitch();
    options.linkPath = root.path() + "/dev/ttyACM0";
    std::string error;
    SwitchHandle sim(simStart(options, &error));
    ASSERT_TRUE(sim) << error;
    const ProgramRun run = runProgram({}, "", ANSWER_NO);
    unsetenv("BMFWU_SYSTEM_ROOT");
    EXPECT_EQ(run.output, START + "\nCOM33 (" + root.path() + "/dev/ttyUSB0): Could not open port." + "\nCOM65 (" +
                              root.path() + "/dev/ttyACM0): " + found("Sonavex F", "3.03") +
                              declinedNewer("Sonavex F"));
}

TEST(Scan, MismatchingBlankAndSilentSwitchesAreReportedAndPassedOver) {
    TempDir ports;
    SimOptions silent = imageOneSwitch();
    SwitchHandle quiet = startSwitch(silent, ports, 1);
    simSetSilent(quiet.get(), true);
    SwitchHandle other = startSwitch(switchWith(0x56, 1, 0x03030000, "Sonavex D"), ports, 2);
    SwitchHandle blank = startSwitch(SimOptions{}, ports, 4);
    const ProgramRun run = runProgram({}, ports.path(), {});
    EXPECT_EQ(run.output, START + "\nCOM1: No Brenmoor devices detected." + "\nCOM2: " + NO_MATCH + absentPorts(3, 3) +
                              "\nCOM4: " + NO_MATCH + absentPorts(5, 16) + NONE_FOUND + KEY_WAIT);
    EXPECT_EQ(run.status, 1);
}

TEST(Scan, SinglePortSilentSwitchIsProbedAgainByTheLoop) {
    TempDir ports;
    SwitchHandle sim = startSwitch(imageOneSwitch(), ports, 5);
    simSetSilent(sim.get(), true);
    const ProgramRun run = runProgram({"5"}, ports.path(), {});
    EXPECT_EQ(run.output,
              START + "\nCOM5: No Brenmoor devices detected.\n" + "\nNo Brenmoor device found on COM5.\n" + KEY_WAIT);
    EXPECT_EQ(run.status, 1);
}

TEST(Scan, SinglePortMismatchEndsWithTheReportedName) {
    TempDir ports;
    SwitchHandle sim = startSwitch(switchWith(0x56, 1, 0x03030000, "Sonavex D"), ports, 5);
    const ProgramRun run = runProgram({"5"}, ports.path(), {});
    EXPECT_EQ(run.output, START + "\nCOM5: " + NO_MATCH + "\n" +
                              "\nThe device on COM5 not compatible with this update.\nProduct name: \"Sonavex D\"\n" +
                              KEY_WAIT);
    EXPECT_EQ(simStatus(sim.get()).flashChanges, 0u);
}

TEST(Scan, SinglePortBlankBootloaderCannotBeIdentified) {
    TempDir ports;
    SwitchHandle sim = startSwitch(SimOptions{}, ports, 6);
    const ProgramRun run = runProgram({"6"}, ports.path(), {});
    EXPECT_EQ(run.output, START + "\nCOM6: " + NO_MATCH + "\n" +
                              "\nThe switch on COM6 is in its bootloader without firmware information and cannot be "
                              "identified.\n" +
                              KEY_WAIT);
    EXPECT_EQ(simStatus(sim.get()).flashChanges, 0u);
}

}   // namespace
