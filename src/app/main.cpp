// bmfwu: finds a Brenmoor switch on a COM port and updates its firmware.
#include <cstdio>

#include "app/exit.h"
#include "app/identify.h"
#include "app/options.h"
#include "app/scan.h"
#include "app/startup.h"
#include "app/support_log.h"
#include "app/update_all.h"
#include "app/update_loop.h"
#include "format/sinks.h"

namespace {
void endOnBadCommandLine(int commandLine, const char* unknown) {
    if (commandLine == COMMAND_LINE_UNKNOWN) consoleMessage("\nUnknown option: %s\n", unknown);
    // A command line without options keeps the short usage text it always had.
    if (commandLine != COMMAND_LINE_OK) printUsageAndExit(commandLine != COMMAND_LINE_USAGE);
}

// Unattended runs neither wait for a key nor loop for ever, their exit status
// tells the endings apart, and their output ends with a line end.
void fixRunSettings() {
    const bool unattended = runOptions.identifyOnly || runOptions.answerYes || runOptions.updateAll;
    automaticMode = unattended ? 0 : 1;
    promptAtExit = unattended ? 0 : 1;
    distinctExitStatus = unattended ? 1 : 0;
    if (unattended) endWithLineEnd();
}
}   // namespace

int main(int argc, char** argv) {
    const char* unknown = nullptr;
    const int commandLine = parseCommandLine(argc, argv, &runOptions, &unknown);
    // Opened first, so that the log holds every line the console shows.
    const int logResult = runOptions.logPath != nullptr ? startSupportLog(runOptions.logPath) : 0;
    consolePutString("\n");
    printBanner();
    if (logResult != 0) {
        reportUnopenableLog(runOptions.logPath, logResult);
        exitProgram(EXIT_FAILED);
    }
    endOnBadCommandLine(commandLine, unknown);
    if (runOptions.showVersion) printVersionsAndExit();
    fixRunSettings();
    validateFirmwareImages();
    static const PortRange range = portRangeFromArguments(runOptions.portArguments, runOptions.portCount);
    if (runOptions.identifyOnly) identifySwitches(range);
    if (runOptions.updateAll) updateAllSwitches(range);
    runUpdateLoop(*scanPorts(range));
}
