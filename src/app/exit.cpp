#include "app/exit.h"

#include <cstdio>
#include <cstdlib>
#include <mutex>

#include "format/sinks.h"
#include "format/support_trace.h"
#include "link/keyboard.h"
#include "link/port_list.h"
#include "link/serial.h"

int automaticMode = 0;
int promptAtExit = 0;
int distinctExitStatus = 0;

namespace {
// The console's last character left its line open; followed once endWithLineEnd asks.
bool consoleLineOpen = false;

// One per process: what exitProgram closes.
struct HeldPorts {
    std::mutex lock;
    SerialPort* ports[SCAN_PORT_LIMIT] = {};
    int count = 0;
};
HeldPorts heldPorts;

void closeHeldPorts() {
    const std::lock_guard<std::mutex> hold(heldPorts.lock);
    for (int i = 0; i < heldPorts.count; ++i) comClose(heldPorts.ports[i]);
    heldPorts.count = 0;
}

void followConsoleText(const char* text, int length) {
    consoleLineOpen = text[length - 1] != '\n';
    supportLogConsole(text, length);   // does nothing while no log is open
}
}   // namespace

void endWithLineEnd() {
    setConsoleMirror(followConsoleText);
}

void holdPortUntilExit(SerialPort* port) {
    const std::lock_guard<std::mutex> hold(heldPorts.lock);
    if (heldPorts.count < SCAN_PORT_LIMIT) heldPorts.ports[heldPorts.count++] = port;
}

void exitProgram(int status) {
    closeHeldPorts();
    if ((status != 0 && promptAtExit != 0) || automaticMode != 0) {
        consolePutString("\nPress any key to exit...");
        if (kbdGetch() == 0) kbdGetch();   // a function key comes as 0 and a second code
        consolePutString("\n");
    } else if (consoleLineOpen) {
        consolePutString("\n");
    }
    std::fflush(stdout);
    std::exit(distinctExitStatus != 0 ? status : EXIT_FAILED);
}
