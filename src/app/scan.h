// Finding the switch: the port scan and the choice of the image made for it.
#pragma once
#include "app/startup.h"

// Picks the compiled-in image whose product id and PCB revision equal the
// identified switch's into imageCursor and announces the switch. True on a
// match; otherwise the cursor's base and header are null.
bool matchImage();

#include <cstddef>

// Opens, probes and matches each port of the range in turn. Returns the port
// handed to the update loop (an entry of `range`), left open at 19200 baud;
// ends the program when no port is left.
const PortName& scanPorts(const PortRange& range);

// How messages name a port: "COM5" when it has a number, else its device path.
void formatPortLabel(const PortName& port, char* label, std::size_t size);
