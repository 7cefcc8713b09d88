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

// True when an image is made for the switch that answered.
bool switchMatches() {
    // Without a table only the flash contents can tell which switch this is.
    if (linkState == LINK_BOOTLOADER_NO_TABLE) identifyFromFlash();
    return matchImage();
}

// A found device is named by its COM number and its path, so the user sees both.
void announcePort(const PortName& port) {
    if (port.number == 0) {
        consoleMessage("\n%s: ", port.device);
    } else if (port.device[0] == '\0') {
        consoleMessage("\nCOM%u: ", port.number);
    } else {
        consoleMessage("\nCOM%u (%s): ", port.number, port.device);
    }
}

int openPort(const PortName& port) {
    if (port.device[0] != '\0') return comOpenDevice(&serialPort, port.device, APPLICATION_BAUD);
    return comOpen(&serialPort, port.number, APPLICATION_BAUD);
}

// True when the scan may stop at this port with it open.
bool probePort(const PortName& port, bool singlePort) {
    const int result = probeScannedPort(port);
    if (result == PORT_NOT_OPENED) return false;
    if ((result == PORT_SWITCH_ANSWERED && switchMatches()) || singlePort) return true;
    closeScannedPort();
    return false;
}
}   // namespace

int probeScannedPort(const PortName& port) {
    announcePort(port);
    if (openPort(port) == 0) {
        currentBaud = 0;
        consoleMessage("Could not open port.");
        return PORT_NOT_OPENED;
    }
    currentBaud = APPLICATION_BAUD;
    drainInput();
    if (probeDevice() == PROBE_IDENTIFIED) return PORT_SWITCH_ANSWERED;
    consoleMessage("No Brenmoor devices detected.");
    return PORT_NO_ANSWER;
}

void closeScannedPort() {
    comClose(&serialPort);
    currentBaud = 0;
}

void endNoSwitchFound() {
    consoleMessage("\n\nNo updatable Brenmoor devices found.\n");
    exitProgram(EXIT_NOTHING_TO_UPDATE);
}

void formatPortLabel(const PortName& port, char* label, std::size_t size) {
    if (port.number != 0) {
        std::snprintf(label, size, "COM%u", port.number);
    } else {
        std::snprintf(label, size, "%s", port.device);
    }
}

const PortName& scanPorts(const PortRange& range) {
    if (range.count == 0) consoleMessage("\nNo serial ports were found on this computer.");
    int at = 0;
    while (at < range.count && !probePort(range.ports[at], range.singlePort)) ++at;
    if (at == range.count) endNoSwitchFound();
    consoleMessage("\n");
    return range.ports[at];
}
