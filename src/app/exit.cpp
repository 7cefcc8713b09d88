#include "app/exit.h"

#include <cstdio>
#include <cstdlib>

#include "format/sinks.h"
#include "format/support_trace.h"
#include "link/keyboard.h"

ExitPolicy exitPolicy;

namespace {
// The console's last character left its line open; followed once endWithLineEnd asks.
bool consoleLineOpen = false;

void followConsoleText(const char* text, int length) {
    consoleLineOpen = text[length - 1] != '\n';
    supportLogConsole(text, length);   // does nothing while no log is open
}
}   // namespace

void endWithLineEnd() {
    setConsoleMirror(followConsoleText);
}

void exitProgram(int status) {
    if ((status != 0 && exitPolicy.promptAtExit != 0) || exitPolicy.automaticMode != 0) {
        consolePutString("\nPress any key to exit...");
        if (kbdGetch() == 0) kbdGetch();   // a function key comes as 0 and a second code
        consolePutString("\n");
    } else if (consoleLineOpen) {
        consolePutString("\n");
    }
    consoleFlush();
    std::exit(exitPolicy.distinctExitStatus != 0 ? status : EXIT_FAILED);
}
