// The start-up phase: banner, command line, run settings, image validation.
#pragma once
#include "bmfwu_version.h"
#include "link/port_list.h"

constexpr int BANNER_MAJOR = BMFWU_VERSION_MAJOR;   // the program's version, as the banner shows it
constexpr int BANNER_MINOR = BMFWU_VERSION_MINOR;

// The ports the scan tries, in order.
struct PortRange {
    PortName ports[SCAN_PORT_LIMIT];
    int count;         // 0 when a scan found no serial port at all
    bool singlePort;   // the argument named one port
};

void printBanner();
// Prints the usage text, with the list of options when `listOptions` is set.
// Returns the run's status, EXIT_FAILED.
int printUsage(bool listOptions);
// Prints the program's version and what identifies each compiled-in image.
// Returns EXIT_COMPLETED, or EXIT_FAILED when an image is damaged.
int printVersions();
// True when the header's length lies within the compiled-in storage of image
// `index`, so its CRC check reads nothing beyond it.
bool imageFitsItsStorage(int index);
// Validates every compiled-in image, printing "Firmware validated.\n" for each;
// false (its message printed) when one is damaged.
bool validateFirmwareImages();
// The port range from the optional argument: a number, "COMn" in any case,
// (where the platform names ports so) a device path, or a network port
// (rfc2217://HOST:PORT); none or 0 scans. False, its message printed, for an
// invalid number, device or network port.
bool portRangeFromArgument(const char* argument, PortRange* range);
// The ports of every argument (none and no file: the scan), in the order
// given, then those of `portsFile` (one a line; blank lines and lines starting
// with '#' skipped) when not null; two that name one device count once. False,
// its message printed, at the first argument or line that names no port, or
// when the file cannot be read.
bool portRangeFromArguments(const char* const* arguments, int count, const char* portsFile, PortRange* range);
