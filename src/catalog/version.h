// Firmware version numbers: their text form, the installed/offered comparison
// and the question whether to go ahead.
//
// Encoding (32-bit): major in bits 31-24, minor 23-16, a letter 15-12 (1 = "a"),
// a beta number 5-0 (0 = release); 0 as a whole means no version known.
#pragma once
#include <cstdint>

#include "image/image.h"
#include "isp/identity.h"

// The version as text ("3.04", "3.04.02b(Beta)", "None"), returned by value
// so that sessions on several threads each have their own. Always terminated.
struct VersionText {
    char text[128];
};
VersionText formatVersion(std::uint32_t version);

// The length of formatVersion's text.
int versionTextWidth(std::uint32_t version);

// Writes the version text, a "," and `spaces` spaces to standard output.
void printVersionField(std::uint32_t version, int spaces);

// Prints the "Current Version" and "Update Version" lines of the switch and
// the image header, padded so that their "Model:" columns line up.
void showVersions(const DeviceIdentity* identity, const FirmwareImage* header);

// Blocks for Y or N on the keyboard; every other key is dropped. End of input answers 'N'.
int readYesNo();

// Says whether the offered version is newer, older or the same, shows both,
// and asks Y/N on the keyboard until one of them is given. Returns 1 for Y;
// 0 for N or end of input (after printing "Update canceled."). cursor->header
// must not be null. `automaticAnswer` 'Y' or 'N' is taken without reading a
// key and printed as if typed; 0 asks on the keyboard.
int confirmVersion(const DeviceIdentity* identity, const ImageCursor* cursor, int automaticAnswer);
