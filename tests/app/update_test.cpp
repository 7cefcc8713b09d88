#include <gtest/gtest.h>

#include <cstring>

#include "app/program_run.h"
#include "app/switch_fixture.h"
#include "app/transcript.h"
#include "app/update_expectations.h"
#include "firmware/firmware.h"
#include "image/image.h"

namespace {

const std::vector<KeyAfter> ANSWER_YES{{"(Y,N) ", "y"}};

struct FullUpdate {
    const char* name;
    SimOptions options;
    int image;
    std::string model;
};

class Update : public testing::TestWithParam<FullUpdate> {};

TEST_P(Update, ProgramsVerifiesRestartsAndFollowsTheDspUpdate) {
    TempDir ports;
    const FullUpdate& c = GetParam();
    SwitchHandle sim = startSwitch(c.options, ports, 3);
    const ProgramRun run = runProgram({"3"}, ports.path(), ANSWER_YES);
    EXPECT_EQ(run.output, foundOn(3, c.model, "3.03") + askNewer(c.model, "3.03") + "Y\n" +
                              programmingProgress(c.image) + dspProgress(2) + KEY_WAIT);
    EXPECT_EQ(run.status, 1);
    EXPECT_TRUE(flashHoldsImage(sim.get(), c.image));
    EXPECT_EQ(simStatus(sim.get()).mode, SIM_MODE_APPLICATION);
}

SimOptions inBootloader(SimOptions options) {
    options.startInBootloader = true;
    return options;
}

// A USB-serial adapter at its drivers' default latency timer.
SimOptions behindSlowAdapter(SimOptions options) {
    options.latencyMs = 16;
    return options;
}

INSTANTIATE_TEST_SUITE_P(
    Images, Update,
    testing::Values(FullUpdate{"ImageOneFromApplication", imageOneSwitch(), 0, "Sonavex F"},
                    FullUpdate{"ImageTwoFromBootloaderConfig44", inBootloader(imageTwoSwitch()), 1, "Sonavex F-II"},
                    FullUpdate{"ImageOneBehindSlowAdapter", behindSlowAdapter(imageOneSwitch()), 0, "Sonavex F"}),
    [](const testing::TestParamInfo<FullUpdate>& info) { return std::string(info.param.name); });

struct Question {
    const char* name;
    std::uint32_t installed;
    bool badRegionCrc;
    std::string installedText;
    std::string expected;   // from the question's first line to the prompt
};

std::string ask(const char* kind, const std::string& installed) {
    const std::string model = "Sonavex F";
    if (std::strcmp(kind, "equal") == 0)
        return "\nThe firmware version inside the " + model + " matches this update.\n" +
               versionLines(model, installed, "3.04") + "\n\nUpdate anyway? (Y,N) ";
    if (std::strcmp(kind, "older") == 0)
        return "\n\nThis update is OLDER than the firmware inside the " + model + "!\n" +
               versionLines(model, installed, "3.04") +
               "\n\nAre you sure you want to update with an OLDER version of firmware? (Y,N) ";
    return askNewer(model, installed);
}

class Confirmation : public testing::TestWithParam<Question> {};

// Declined: nothing is erased, and the key is shown as a capital.
TEST_P(Confirmation, ShowsBothVersionsAlignedAndHonoursNo) {
    TempDir ports;
    const Question& c = GetParam();
    SimOptions options = imageOneSwitch();
    options.flash.version = c.installed;
    options.flash.badRegionCrc = c.badRegionCrc;
    options.startInBootloader = c.badRegionCrc;
    SwitchHandle sim = startSwitch(options, ports, 2);
    const ProgramRun run = runProgram({"2"}, ports.path(), {{"(Y,N) ", "x\rn"}});
    EXPECT_EQ(run.output, foundOn(2, "Sonavex F", c.installedText) + c.expected + "N\n\nUpdate canceled.\n\n" + KEY_WAIT);
    EXPECT_EQ(simStatus(sim.get()).flashChanges, 0u);
}

INSTANTIATE_TEST_SUITE_P(
    Versions, Confirmation,
    testing::Values(Question{"Equal", 0x03040000, false, "3.04", ask("equal", "3.04")},
                    Question{"Older", 0x0A010000, false, "10.01", ask("older", "10.01")},
                    Question{"InstalledBeta", 0x03040002, false, "3.04.02(Beta)", ask("older", "3.04.02(Beta)")},
                    Question{"InstalledLetter", 0x03041000, false, "3.04a", ask("older", "3.04a")},
                    Question{"NoneAfterBadRegionCrc", 0x03030000, true, "None", ask("newer", "None")}),
    [](const testing::TestParamInfo<Question>& info) { return std::string(info.param.name); });

TEST(AfterProgramming, ReadyAtOnceEndsWithoutTheCompletionMessage) {
    TempDir ports;
    SimOptions options = imageOneSwitch();
    options.dspBanks = 0;
    SwitchHandle sim = startSwitch(options, ports, 1);
    const ProgramRun run = runProgram({"1"}, ports.path(), ANSWER_YES);
    EXPECT_EQ(run.output, foundOn(1, "Sonavex F", "3.03") + askNewer("Sonavex F", "3.03") + "Y\n" +
                              programmingProgress(0) + KEY_WAIT);
    EXPECT_TRUE(flashHoldsImage(sim.get(), 0));
}

TEST(AfterProgramming, SilenceEndsAfterThirteenSecondsWithTheCompletionMessage) {
    TempDir ports;
    SimOptions options = imageOneSwitch();
    options.dspQuiet = true;
    SwitchHandle sim = startSwitch(options, ports, 1);
    const ProgramRun run = runProgram({"1"}, ports.path(), {{"(Y,N) ", "y"}, {"100% complete.\n", ""}});
    EXPECT_EQ(run.output, foundOn(1, "Sonavex F", "3.03") + askNewer("Sonavex F", "3.03") + "Y\n" +
                              programmingProgress(0) + "\nFirmware update complete, please power cycle the switch.\n" +
                              KEY_WAIT);
    EXPECT_GT(run.elapsedMs, 13000u);
}

// Progress lines 3 s apart for 18 s: each one restarts the quiet period, so the
// wait outlasts 13 s and ends with the ready report, not the completion message.
TEST(AfterProgramming, ProgressLinesKeepTheWaitAlive) {
    TempDir ports;
    SimOptions options = imageOneSwitch();
    options.dspBanks = 1;
    options.dspIntervalMs = 3000;
    SwitchHandle sim = startSwitch(options, ports, 1);
    const ProgramRun run = runProgram({"1"}, ports.path(), ANSWER_YES);
    EXPECT_EQ(run.output, foundOn(1, "Sonavex F", "3.03") + askNewer("Sonavex F", "3.03") + "Y\n" +
                              programmingProgress(0) + dspProgress(1) + KEY_WAIT);
    EXPECT_GT(run.elapsedMs, 15000u);
}

TEST(AfterProgramming, KeysWhileListeningChangeNothing) {
    TempDir ports;
    SimOptions options = imageOneSwitch();
    options.dspIntervalMs = 300;
    SwitchHandle sim = startSwitch(options, ports, 1);
    const std::string keys = std::string("\0<", 2) + "abc" + std::string("\xE0H", 2) + "y";
    const ProgramRun run = runProgram({"1"}, ports.path(), {{"(Y,N) ", "y"}, {"100% complete.\n", keys}});
    EXPECT_EQ(run.output, foundOn(1, "Sonavex F", "3.03") + askNewer("Sonavex F", "3.03") + "Y\n" +
                              programmingProgress(0) + dspProgress(2) + KEY_WAIT);
}

}  // namespace
