#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "app/matrix_support.h"
#include "app/program_run.h"
#include "app/switch_fixture.h"
#include "app/transcript.h"
#include "app/update_expectations.h"

namespace {

const std::string LOST_1 = "\n\nError 1: Lost the connection to the switch! Check cables and power.\n";

// The progress lines of the first `blocks` 4096-byte blocks of image 1, the
// last of which failed (its line repeats the percentage before it).
std::string progressUntilFailedBlock(int blocks) {
    const std::uint32_t length = imageHeader(0).appLength;
    std::string text = "\nUpdating firmware:   0% complete.";
    char line[64];
    for (int block = 1; block <= blocks; ++block) {
        const std::uint32_t done = 512 + 4096u * static_cast<std::uint32_t>(block < blocks ? block : block - 1);
        std::snprintf(line, sizeof line, "\rUpdating firmware: %3u%% complete.", done * 100 / length);
        text += line;
    }
    return text;
}

std::string fullUpdateAfterAsking(const std::string& installed) {
    return askNewer("Sonavex F", installed) + "Y\n" + programmingProgress(0) + dspProgress(2) + KEY_WAIT;
}

// Each 4096-byte block takes one W command (its echo shows where it went):
// the 4th is the fourth block's.
// Also behind a USB-serial adapter at its drivers' default latency timer.
TEST(Recovery, LinkLostWhileProgrammingIsFinishedByTheNextRun) {
    for (unsigned latencyMs : {0u, 16u}) {
        SCOPED_TRACE(latencyMs);
        TempDir ports;
        SimOptions options = imageOneSwitch();
        options.faults.silentAtWrite = 4;
        options.latencyMs = latencyMs;
        SwitchHandle sim = startSwitch(options, ports, 3);
        const ProgramRun first = runProgram({"3"}, ports.path(), {{"(Y,N) ", "y"}});
        EXPECT_EQ(first.output, foundOn(3, "Sonavex F", "3.03") + askNewer("Sonavex F", "3.03") + "Y\n" +
                                    progressUntilFailedBlock(4) + LOST_1 + "\nNo Brenmoor device found on COM3.\n" +
                                    KEY_WAIT);
        EXPECT_FALSE(flashHoldsImage(sim.get(), 0));

        simReset(sim.get());   // the technician power-cycles the switch: it comes up in its bootloader
        const ProgramRun second = runProgram({"3"}, ports.path(), {{"(Y,N) ", "y"}});
        EXPECT_EQ(second.output, foundOn(3, "Sonavex F", "None") + fullUpdateAfterAsking("None"));
        EXPECT_TRUE(flashHoldsImage(sim.get(), 0));
        EXPECT_EQ(simStatus(sim.get()).mode, SIM_MODE_APPLICATION);
    }
}

TEST(Recovery, UnattendedUpdateThatLosesTheSwitchEndsWithStatusOne) {
    TempDir ports;
    SimOptions options = imageOneSwitch();
    options.faults.silentAtWrite = 4;
    SwitchHandle sim = startSwitch(options, ports, 3);
    const ProgramRun run = runProgram({"-y", "3"}, ports.path(), {{"never printed", "x"}});
    EXPECT_EQ(run.output, foundOn(3, "Sonavex F", "3.03") + askNewer("Sonavex F", "3.03") + "Y\n" +
                              progressUntilFailedBlock(4) + LOST_1 + "\nNo Brenmoor device found on COM3.\n");
    EXPECT_EQ(run.status, 1);
}

// A switch that refuses every write: unattended, the third failed pass is the last.
TEST(Recovery, UnattendedUpdateGivesUpAfterThreeFailedPasses) {
    TempDir ports;
    SwitchHandle sim = startSwitch(imageOneSwitch(), ports, 3);
    std::atomic<bool> running{true};
    std::thread refuser([&] {
        SimFaults faults;
        faults.refuseWrite = 1;
        while (running) {
            simSetFaults(sim.get(), faults);
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
        }
    });
    const ProgramRun run = runProgram({"3", "/yes"}, ports.path(), {{"never printed", "x"}});
    running = false;
    refuser.join();
    const std::string giveUp = "\nThe update failed 3 times; giving up.\n";
    ASSERT_GE(run.output.size(), giveUp.size());
    EXPECT_EQ(run.output.substr(run.output.size() - giveUp.size()), giveUp);
    std::size_t answers = 0;
    for (std::size_t at = run.output.find("(Y,N) Y\n"); at != std::string::npos;
         at = run.output.find("(Y,N) Y\n", at + 1))
        ++answers;
    EXPECT_EQ(answers, 3u);
    EXPECT_EQ(run.status, 1);
}

std::size_t occurrences(const std::string& text, const std::string& part) {
    std::size_t count = 0;
    for (std::size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) ++count;
    return count;
}

// A bootloader that refuses to start the application: the restart is tried
// again within the pass, and its diagnostic shown once for each failed pass.
TEST(Recovery, RefusedRestartIsReportedOncePerPass) {
    TempDir ports;
    SimOptions options = imageOneSwitch();
    options.faults.refuseGo = true;
    SwitchHandle sim = startSwitch(options, ports, 3);
    const ProgramRun run = runProgram({"-y", "3"}, ports.path(), {});
    const std::size_t passes = occurrences(run.output, "\nFailed to update firmware!\n");
    EXPECT_EQ(passes, 3u) << run.output;
    EXPECT_EQ(occurrences(run.output, "reboot: nxpGo error\n"), passes) << run.output;
    EXPECT_EQ(run.status, 1);
}

// Every block's first compare fails and its second passes: each block is cured
// with one recovery, which no block's own bound stops, so only the pass's does.
TEST(Recovery, PassEndsOnceItsRecoveriesAreSpent) {
    TempDir ports;
    SimOptions options = imageOneSwitch();
    options.faults.failCompare = 1;
    SwitchHandle sim = startSwitch(options, ports, 3);
    std::atomic<bool> running{true};
    std::thread failer([&] {
        for (std::uint32_t failed = 1; running; std::this_thread::sleep_for(std::chrono::milliseconds(1))) {
            if (simStatus(sim.get()).commandCounts['M' - 'A'] < failed) continue;
            SimFaults faults;
            faults.failCompare = 2;   // the block's second compare passes, the next block's first fails
            simSetFaults(sim.get(), faults);
            failed += 2;
        }
    });
    const ProgramRun run = runProgram({"3"}, ports.path(), {{"(Y,N) ", "y"}});
    running = false;
    failer.join();
    EXPECT_NE(run.output.find("Y\n\nUpdating firmware:"), std::string::npos) << run.output;
    EXPECT_NE(run.output.find("\n\nError: A mismatch occurred while verifying this update.\n"), std::string::npos)
        << run.output;
    EXPECT_FALSE(reportedSuccess(run.output)) << run.output;
    EXPECT_FALSE(flashHoldsImage(sim.get(), 0));
    EXPECT_EQ(simStatus(sim.get()).commandCounts['U' - 'A'], 17u);   // the pass's unlock, one per recovery
}

struct CuredFault {
    const char* name;
    SimFaults faults;
    std::uint32_t erases;   // the application's, any sector erased again, the parameter sector's
};

SimFaults refusedWrite() {
    SimFaults faults;
    faults.refuseWrite = 20;
    return faults;
}

SimFaults failedCompare() {
    SimFaults faults;
    faults.failCompare = 3;
    return faults;
}

SimFaults damagedCopy() {
    SimFaults faults;
    faults.damageCopy = 3;
    return faults;
}

// A checksum collision (two bytes swapped: the sum holds) in a pass where the
// switch also asked for a line again: only the read-back finds it.
// A bootloader without the echo: the flash is read back once the pass has
// seen damage, and finds what the switch stored otherwise than it heard.
SimFaults swappedBytesAfterAResend() {
    SimFaults faults;
    faults.refuseEchoOn = true;
    faults.corruptDataLine = 3;
    faults.swapDataLine = 40;
    return faults;
}

class CuredInThePass : public testing::TestWithParam<CuredFault> {};

// A block that fails is put right inside the pass: the user is asked once.
// A refused RAM write never reached flash, so only the block goes again; a
// failed compare is asked again; a copy that left the flash wrong costs the
// block's sectors an erase and the blocks they held; so does a collision the
// read-back finds.
TEST_P(CuredInThePass, WithoutAskingAgain) {
    TempDir ports;
    SimOptions options = imageOneSwitch();
    options.faults = GetParam().faults;
    SwitchHandle sim = startSwitch(options, ports, 3);
    const ProgramRun run = runProgram({"3"}, ports.path(), {{"(Y,N) ", "y"}});
    EXPECT_EQ(run.output, foundOn(3, "Sonavex F", "3.03") + fullUpdateAfterAsking("3.03"));
    EXPECT_TRUE(flashHoldsImage(sim.get(), 0));
    EXPECT_EQ(simStatus(sim.get()).commandCounts['E' - 'A'], GetParam().erases);
}

INSTANTIATE_TEST_SUITE_P(Faults, CuredInThePass,
                         testing::Values(CuredFault{"RefusedWrite", refusedWrite(), 2},
                                         CuredFault{"FailedCompare", failedCompare(), 2},
                                         CuredFault{"DamagedCopy", damagedCopy(), 3},
                                         CuredFault{"SwappedBytesAfterAResend", swappedBytesAfterAResend(), 3}),
                         [](const testing::TestParamInfo<CuredFault>& info) { return std::string(info.param.name); });

TEST(Recovery, DamagedDataLineIsResentAndTheUpdateSucceeds) {
    TempDir ports;
    SimOptions options = imageOneSwitch();
    options.faults.corruptDataLine = 3;
    SwitchHandle sim = startSwitch(options, ports, 3);
    const ProgramRun run = runProgram({"3"}, ports.path(), {{"(Y,N) ", "y"}});
    EXPECT_EQ(run.output, foundOn(3, "Sonavex F", "3.03") + fullUpdateAfterAsking("3.03"));
    EXPECT_TRUE(flashHoldsImage(sim.get(), 0));
    EXPECT_EQ(simStatus(sim.get()).resends, 1u);
}

// Bytes to the switch corrupted at random: every run ends either updated with
// a correct flash or with an error message, never with success over bad flash.
TEST(Recovery, RandomCorruptionNeverEndsInSuccessOverABadFlash) {
    int successes = 0;
    std::string lastOutput;
    for (std::uint32_t seed = 1; seed <= 8; ++seed) {
        TempDir ports;
        SimOptions options = imageOneSwitch();
        options.faults.corruptRate = 5e-5;
        options.faults.corruptSeed = seed;
        SwitchHandle sim = startSwitch(options, ports, 3);
        const ProgramRun run = runProgram({"3"}, ports.path(), {{"(Y,N) ", "yyyyyy"}}, 120000);
        ASSERT_FALSE(run.timedOut) << "seed " << seed;
        EXPECT_EQ(run.status, 1);
        lastOutput = run.output.substr(run.output.size() > 600 ? run.output.size() - 600 : 0);
        if (reportedSuccess(run.output)) {
            ++successes;
            EXPECT_TRUE(flashHoldsImage(sim.get(), 0)) << "seed " << seed << "\n" << run.output;
        }
    }
    EXPECT_GT(successes, 0) << "no run succeeded; the last ended:\n" << lastOutput;
}

}   // namespace
