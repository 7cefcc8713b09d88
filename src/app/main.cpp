// bmfwu: finds a Brenmoor switch on a COM port and updates its firmware.
#include <memory>

#include "app/exit.h"
#include "app/identify.h"
#include "app/options.h"
#include "app/report.h"
#include "app/scan.h"
#include "app/startup.h"
#include "app/support_log.h"
#include "app/update_all.h"
#include "app/update_loop.h"
#include "format/sinks.h"
#include "link/clock.h"
#include "link/keyboard.h"

namespace {
// Unattended runs neither wait for a key nor loop for ever, their exit status
// tells the endings apart, and their output ends with a line end.
void fixRunSettings() {
    const bool unattended = runOptions.identifyOnly || runOptions.answerYes || runOptions.updateAll;
    exitPolicy.automaticMode = unattended ? 0 : 1;
    exitPolicy.promptAtExit = unattended ? 0 : 1;
    exitPolicy.distinctExitStatus = unattended ? 1 : 0;
    if (unattended) endWithLineEnd();
}

int updateOneSwitch(const PortRange& range, RunReport* report) {
    int status = EXIT_FAILED;
    const std::unique_ptr<Session> session = scanPorts(range, &status, report);
    return session != nullptr ? runUpdateLoop(*session, report) : status;
}

const char* modeName() {
    if (runOptions.identifyOnly) return "info";
    return runOptions.updateAll ? "all" : "update";
}

// The phases after the banner, each returning when the run ends; the status to end with.
int runPhases(int commandLine, const char* unknown, RunReport* report) {
    if (commandLine == COMMAND_LINE_UNKNOWN) consoleMessage("\nUnknown option: %s\n", unknown);
    // A command line without options keeps the short usage text it always had.
    if (commandLine != COMMAND_LINE_OK) return printUsage(commandLine != COMMAND_LINE_USAGE);
    if (runOptions.showVersion) {
        exitPolicy.distinctExitStatus = 1;
        return printVersions();
    }
    fixRunSettings();
    PortRange range;
    if (!validateFirmwareImages() ||
        !portRangeFromArguments(runOptions.portArguments, runOptions.portCount, runOptions.portsFile, &range))
        return EXIT_FAILED;
    if (runOptions.identifyOnly) return identifySwitches(range, report);
    if (runOptions.updateAll) return updateAllSwitches(range, report);
    return updateOneSwitch(range, report);
}

// --json: the console's text goes to standard error, standard output gets the
// document once the run has ended, and Ctrl-C ends the run in order.
int runWithDocument(int commandLine, const char* unknown) {
    RunReport report;
    report.mode = modeName();
    report.startedAt = msNow();
    if (commandLine == COMMAND_LINE_OK) kbdCatchInterrupt();
    const int status = runPhases(commandLine, unknown, &report);
    if (commandLine == COMMAND_LINE_OK) printRunDocument(report, status);
    return status;
}
}   // namespace

int main(int argc, char** argv) {
    const char* unknown = nullptr;
    const int commandLine = parseCommandLine(argc, argv, &runOptions, &unknown);
    // Opened first, so that the log holds every line the console shows.
    const int logResult = runOptions.logPath != nullptr ? startSupportLog(runOptions.logPath) : 0;
    if (runOptions.json) consoleToStandardError();
    consolePutString("\n");
    printBanner();
    if (logResult != 0) {
        reportUnopenableLog(runOptions.logPath, logResult);
        exitProgram(EXIT_FAILED);
    }
    exitProgram(runOptions.json ? runWithDocument(commandLine, unknown) : runPhases(commandLine, unknown, nullptr));
}
