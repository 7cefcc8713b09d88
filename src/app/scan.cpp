#include <cstdio>

#include "app/exit.h"
#include "app/flash_identity.h"
#include "app/probe.h"
#include "app/scan.h"
#include "format/sinks.h"
#include "isp/identity.h"
#include "isp/line.h"
#include "link/serial.h"

namespace {
constexpr unsigned APPLICATION_BAUD = 19200;

// True when a switch answered and an image is made for it.
bool switchMatches() {
    if (probeDevice() != PROBE_IDENTIFIED) {
        consoleMessage("No Brenmoor devices detected.");
        return false;
    }
    // Without a table only the flash contents can tell which switch this is.
    if (linkState == LINK_BOOTLOADER_NO_TABLE) identifyFromFlash();
    return matchImage();
}

// True when the scan may stop at this port with it open.
bool probePort(int port, bool singlePort) {
    consoleMessage("\nCOM%u: ", static_cast<unsigned>(port));
    if (comOpen(&serialPort, static_cast<unsigned>(port), APPLICATION_BAUD) == 0) {
        currentBaud = 0;
        consoleMessage("Could not open port.");
        return false;
    }
    currentBaud = APPLICATION_BAUD;
    drainInput();
    if (switchMatches() || singlePort) return true;
    comClose(&serialPort);
    currentBaud = 0;
    return false;
}
}  // namespace

int scanPorts(const PortRange& range) {
    int port = range.firstPort;
    while (port <= range.lastPort && !probePort(port, range.singlePort)) ++port;
    if (port > range.lastPort) {
        consoleMessage("\n\nNo updatable Brenmoor devices found.\n");
        exitProgram(1);
    }
    consoleMessage("\n");
    return port;
}
