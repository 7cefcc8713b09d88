// How a COM port number becomes a device path on POSIX systems.
#pragma once
#include <cstddef>

// Writes the device path of COM `portNumber` into `path` (NUL-terminated).
// With BMFWU_PORT_DIR set the path is "$BMFWU_PORT_DIR/COMn" for any number;
// otherwise COM1-32 are /dev/ttyS0-31, COM33-64 /dev/ttyUSB0-31 and COM65-96
// /dev/ttyACM0-31. Returns 1 on success; 0 when the number has no device or
// the path does not fit in `size` bytes. The caller owns `path`.
int comDevicePath(unsigned portNumber, char* path, std::size_t size);
