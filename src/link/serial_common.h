// What both platforms' serial files share: the checks every operation makes
// before touching the system. Private to src/link.
#pragma once
#include <cstdint>

#include "link/serial.h"

// Open and holding a handle.
bool serialPortUsable(const SerialPort* port);
// A usable port, a buffer and a positive count.
bool serialTransferValid(const SerialPort* port, const void* bytes, std::int32_t count);
