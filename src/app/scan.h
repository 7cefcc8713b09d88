// Finding the switch: the port scan and the choice of the image made for it.
#pragma once
#include "app/startup.h"
#include "isp/identity.h"

// Picks the compiled-in image whose product id and PCB revision equal the
// identified switch's into imageCursor and announces the switch. True on a
// match; otherwise the cursor's base and header are null.
bool matchImage();

#include <cstddef>

// Opens, probes and matches each port of the range in turn. Returns the port
// handed to the update loop (an entry of `range`), left open at 19200 baud;
// ends the program when no port is left.
const PortName& scanPorts(const PortRange& range);

// What probeScannedPort found.
constexpr int PORT_SWITCH_ANSWERED = 0;   // the port is open and the probe identified a switch
constexpr int PORT_NO_ANSWER = 1;         // the port is open; nothing answered
constexpr int PORT_NOT_OPENED = 2;        // the port could not be opened

// Announces the port, opens it at 19200 baud, discards stale input and probes
// it, printing what failed. Returns one of the codes above.
int probeScannedPort(const PortName& port);
void closeScannedPort();

// Reports that the scan found no switch to work on and ends the program.
[[noreturn]] void endNoSwitchFound();

// Index of the compiled-in image made for the identified switch (same product
// id and PCB revision); -1 when there is none. Prints nothing.
int imageIndexFor(const DeviceIdentity& identity);

// How messages name a port: "COM5" when it has a number, else its device path.
void formatPortLabel(const PortName& port, char* label, std::size_t size);
