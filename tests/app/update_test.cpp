#include <gtest/gtest.h>

#include <cctype>
#include <cstdio>
#include <cstring>
#include <fstream>

#include "app/matrix_support.h"
#include "app/program_run.h"
#include "app/switch_fixture.h"
#include "app/transcript.h"
#include "app/update_expectations.h"
#include "firmware/firmware.h"
#include "image/image.h"
#include "sim.h"

namespace {

const std::vector<KeyAfter> ANSWER_YES{{"(Y,N) ", "y"}};

struct FullUpdate {
    const char* name;
    SimOptions options;
    int image;
    std::string model;
};

class Update : public testing::TestWithParam<FullUpdate> {};

// The area each copy to flash wrote, a run of copies to one area as one letter:
// B the application's body, P the parameter block, F the application's first 512 bytes.
std::string copyOrder(SimSwitch* sim, int image) {
    const FirmwareImage& header = imageHeader(image);
    std::string order;
    for (const HeardLine& line : heardLines(simTraffic(sim))) {
        unsigned flash = 0, size = 0;
        if (std::sscanf(line.text.c_str(), "C %u 268435456 %u", &flash, &size) != 2) continue;
        const char area = flash - header.paramAddress < header.paramLength ? 'P'
                          : flash == header.appAddress                     ? 'F'
                          : flash - header.appAddress < header.appLength   ? 'B'
                                                                           : '?';
        if (order.empty() || order.back() != area) order += area;
    }
    return order;
}

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
    // The first 512 bytes hold the vector table that makes the application startable: they go last.
    EXPECT_EQ(copyOrder(sim.get(), c.image), "BPF");
}

// Unattended: the answer is printed as if typed, keys change nothing, no key wait,
// the last progress line is ended for the shell's prompt, status 0.
TEST(Update, YesAnswersForTheUserAndEndsWithStatusZero) {
    TempDir ports;
    SwitchHandle sim = startSwitch(imageOneSwitch(), ports, 3);
    const ProgramRun run = runProgram({"3", "--yes"}, ports.path(),
                                      {{"was found", "n"}, {"Updating firmware", "n\x1b"}});
    EXPECT_EQ(run.output, foundOn(3, "Sonavex F", "3.03") + askNewer("Sonavex F", "3.03") + "Y\n" +
                              programmingProgress(0) + dspProgress(2) + "\n");
    EXPECT_EQ(run.status, 0);
    EXPECT_TRUE(flashHoldsImage(sim.get(), 0));
}

// --verify reads back all the pass wrote, and so finds even damage that a
// line's echo cannot show: bytes the switch stored otherwise than it heard.
TEST(Update, VerifyReadsTheFlashBackAndCuresWhatDiffers) {
    TempDir ports;
    SimOptions options = imageOneSwitch();
    options.faults.swapDataLine = 40;
    SwitchHandle sim = startSwitch(options, ports, 3);
    const ProgramRun run = runProgram({"3", "--yes", "--verify"}, ports.path(), {});
    EXPECT_EQ(run.output, foundOn(3, "Sonavex F", "3.03") + askNewer("Sonavex F", "3.03") + "Y\n" +
                              programmingProgress(0) + dspProgress(2) + "\n");
    EXPECT_EQ(run.status, 0);
    EXPECT_TRUE(flashHoldsImage(sim.get(), 0));
    std::uint64_t flashRead = 0;
    for (const HeardLine& line : heardLines(simTraffic(sim.get()))) {
        unsigned address = 0, count = 0;
        if (std::sscanf(line.text.c_str(), "R %u %u", &address, &count) == 2 && address >= 0x1A000000u)
            flashRead += count;
    }
    EXPECT_GE(flashRead, imageHeader(0).appLength + 512u);
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
    // The port is let go before the key wait, so another program may take it meanwhile.
    bool closedBeforeKeyWait = false;
    const auto portClosed = [&] {
        closedBeforeKeyWait = simWaitFor(sim.get(), [](const SimStatus& s) { return !s.hostOpen; }, 2000);
    };
    const ProgramRun run =
        runProgram({"2"}, ports.path(), {{"(Y,N) ", "x\rn"}, {"Press any key to exit...", "", false, false, portClosed}});
    EXPECT_EQ(run.output,
              foundOn(2, "Sonavex F", c.installedText) + c.expected + "N\n\nUpdate canceled.\n\n" + KEY_WAIT);
    EXPECT_EQ(simStatus(sim.get()).flashChanges, 0u);
    EXPECT_TRUE(closedBeforeKeyWait);
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

// The support log: one record per line, "<seconds> <kind> <escaped text>".
struct LogRecord {
    char kind;
    std::string text;
};

std::string unescape(const std::string& text) {
    std::string out;
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] != '\\' || i + 1 == text.size()) {
            out += text[i];
            continue;
        }
        const char next = text[++i];
        if (next == 'r')
            out += '\r';
        else if (next == 'n')
            out += '\n';
        else if (next == 'x') {
            out += static_cast<char>(std::stoi(text.substr(i + 1, 2), nullptr, 16));
            i += 2;
        } else
            out += next;
    }
    return out;
}

std::vector<LogRecord> readLog(const std::string& path, std::string* header) {
    std::ifstream file(path, std::ios::binary);
    std::getline(file, *header);
    std::vector<LogRecord> records;
    for (std::string line; std::getline(file, line);) {
        const std::size_t kind = line.find(' ', line.find_first_not_of(' ')) + 1;
        if (kind == 0 || kind + 2 > line.size() || line[kind + 1] != ' ')
            ADD_FAILURE() << "not a record: " << line;
        else
            records.push_back({line[kind], unescape(line.substr(kind + 2))});
    }
    return records;
}

// Replays the trace's sent bytes against what the switch heard, skipping the
// data lines where the trace summarises them. Returns where they part.
std::string traceAgainstHeard(const std::vector<LogRecord>& records, const std::string& heard) {
    std::size_t at = 0;
    for (const LogRecord& r : records) {
        int lines = 0;
        if (r.kind == '>') {
            if (heard.compare(at, r.text.size(), r.text) != 0) return "sent " + r.text + " at " + std::to_string(at);
            at += r.text.size();
        } else if (r.kind == '#' && std::sscanf(r.text.c_str(), "sent %d data lines", &lines) == 1) {
            for (; lines > 0; --lines) {
                const std::size_t end = heard.find("\r\n", at);
                if (end == std::string::npos) return "missing data line at " + std::to_string(at);
                at = end + 2;
            }
        }
    }
    return at == heard.size() ? "" : "unlogged bytes from " + std::to_string(at);
}

std::string consoleText(const std::vector<LogRecord>& records) {
    std::string console;
    for (const LogRecord& r : records)
        if (r.kind == '|') console += r.text;
    return console;
}

TEST(SupportLog, RecordsHeaderConsoleTextAndEveryLineSent) {
    TempDir ports;
    SimOptions options = imageOneSwitch();
    options.dspBanks = 0;
    SwitchHandle sim = startSwitch(options, ports, 1);
    const std::string logPath = ports.path() + "/support.log";
    const ProgramRun run = runProgram({"--log", logPath, "1"}, ports.path(), ANSWER_YES);
    EXPECT_EQ(run.output, foundOn(1, "Sonavex F", "3.03") + askNewer("Sonavex F", "3.03") + "Y\n" +
                              programmingProgress(0) + KEY_WAIT);
    std::string header;
    const std::vector<LogRecord> records = readLog(logPath, &header);
    const std::string when = "dddd-dd-dd dd:dd:dd UTC";   // d: a digit
    const std::string lead = "==== bmfwu support log, ";
    std::string seen = header.substr(0, lead.size() + when.size());
    for (std::size_t i = 0; i < when.size() && lead.size() + i < seen.size(); ++i)
        if (when[i] == 'd' && std::isdigit(static_cast<unsigned char>(seen[lead.size() + i])))
            seen[lead.size() + i] = 'd';
    EXPECT_EQ(seen + header.substr(seen.size()),
              lead + when +
                  ", program version 2.2; image 1: \"Sonavex F\" product 0x56 PCB 3 version 3.04; "
                  "image 2: \"Sonavex F-II\" product 0x64 PCB 1 version 3.04");
    EXPECT_EQ(consoleText(records), run.output);
    const std::vector<std::uint8_t> received = simReceived(sim.get());
    EXPECT_EQ(traceAgainstHeard(records, std::string(received.begin(), received.end())), "");
}
// An unattended run follows the console for its final line end: the log still
// gets every console character, that line end included.
TEST(SupportLog, UnattendedRunRecordsAllConsoleText) {
    TempDir ports;
    SwitchHandle sim = startSwitch(imageOneSwitch(), ports, 3);
    const std::string logPath = ports.path() + "/support.log";
    const ProgramRun run = runProgram({"--yes", "--log", logPath, "3"}, ports.path(), {});
    std::string header;
    std::string console;
    for (const LogRecord& r : readLog(logPath, &header))
        if (r.kind == '|') console += r.text;
    EXPECT_EQ(console, run.output);
    EXPECT_EQ(run.output.substr(run.output.size() - 2), "%\n") << "not ended after the DSP progress";
    EXPECT_EQ(run.status, 0);
}

TEST(SupportLog, UnopenableFileEndsBeforeAnythingIsSent) {
    TempDir ports;
    SwitchHandle sim = startSwitch(imageOneSwitch(), ports, 1);
    const std::string logPath = ports.path() + "/missing/support.log";
    const ProgramRun run = runProgram({"--log", logPath, "1"}, ports.path(), {});
    EXPECT_EQ(run.output, BANNER + "\nCannot open the log file \"" + logPath + "\": No such file or directory\n");
    EXPECT_EQ(run.status, 1);
    EXPECT_TRUE(simReceived(sim.get()).empty());
}

// Killed while it waits for the answer (the window closed, say): every console
// line shown is already in the file.
TEST(SupportLog, HoldsTheLinesShownWhenTheRunIsKilled) {
    TempDir ports;
    SwitchHandle sim = startSwitch(imageOneSwitch(), ports, 1);
    const std::string logPath = ports.path() + "/support.log";
    const ProgramRun run = runProgram({"--log", logPath, "1"}, ports.path(), {{"(Y,N) ", "", true}});
    EXPECT_EQ(run.status, -1);
    std::string header;
    EXPECT_EQ(consoleText(readLog(logPath, &header)), run.output.substr(0, run.output.rfind('\n') + 1));
}

}   // namespace
