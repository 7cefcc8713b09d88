// The start-up phase: banner, command line, run settings, image validation.
#pragma once

constexpr int BANNER_MAJOR = 2;   // the program's version, as the banner shows it
constexpr int BANNER_MINOR = 2;

struct PortRange {
    int firstPort;
    int lastPort;
    bool singlePort;   // a non-zero port number was given
};

void printBanner();
// Prints the usage text and ends the program (no key wait before the run
// settings are fixed).
[[noreturn]] void printUsageAndExit();
// True when the header's length lies within the compiled-in storage of image
// `index`, so its CRC check reads nothing beyond it.
bool imageFitsItsStorage(int index);
// Validates every compiled-in image, printing "Firmware validated.\n" for each;
// a damaged one ends the program.
void validateFirmwareImages();
// The port range from the optional argument; an invalid number ends the program.
PortRange portRangeFromArgument(const char* argument);
