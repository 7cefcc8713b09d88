// Finding the switch: the port scan and the choice of the image made for it.
#pragma once
#include "app/startup.h"

// Picks the compiled-in image whose product id and PCB revision equal the
// identified switch's into imageCursor and announces the switch. True on a
// match; otherwise the cursor's base and header are null.
bool matchImage();

// Opens, probes and matches each port of the range in turn. Returns the port
// handed to the update loop, left open at 19200 baud; ends the program when no
// port is left.
int scanPorts(const PortRange& range);
