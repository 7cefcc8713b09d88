// How COM port numbers and device paths meet on POSIX systems.
#pragma once
#include <cstddef>

#include "link/port_list.h"

// Writes the device path of COM `portNumber` into `path` (NUL-terminated).
// With BMFWU_PORT_DIR set the path is "$BMFWU_PORT_DIR/COMn" for any number;
// otherwise COM1-32 are /dev/ttyS0-31, COM33-64 /dev/ttyUSB0-31 and COM65-96
// /dev/ttyACM0-31. Returns 1 on success; 0 when the number has no device or
// the path does not fit in `size` bytes. The caller owns `path`.
int comDevicePath(unsigned portNumber, char* path, std::size_t size);

// The folder of COM links named by BMFWU_PORT_DIR; nullptr when unset or empty.
const char* comPortDir();

// The index of device `name` of `family` ("ttyUSB12" of "ttyUSB" is 12); -1
// when the name is not the family's followed by up to four digits.
long comDeviceIndex(const char* name, const char* family);

// The COM number of a device named as in /dev ("ttyUSB0" is 33); 0 when it
// has none.
unsigned comDeviceNumber(const char* name);

// Lists the serial devices under `root` ("" for the real system; tests point
// it at a fake tree holding dev/ and sys/), at most `capacity`: ttyUSB*, then
// ttyACM*, each in numeric order, then the on-board ttyS* that their driver
// reports present (the port type in sys/class/tty/<name>/type, or
// TIOCGSERIAL where sysfs lacks it, is not "unknown"). Each entry holds
// "<root>/dev/<name>" and its COM number. Returns the count.
int comListSerialDevices(const char* root, PortName* ports, int capacity);
