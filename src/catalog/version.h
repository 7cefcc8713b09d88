// Firmware version numbers: their text form, the installed/offered comparison
// and the question whether to go ahead.
//
// Encoding (32-bit): major in bits 31-24, minor 23-16, a letter 15-12 (1 = "a"),
// a beta number 5-0 (0 = release); 0 as a whole means no version known.
#pragma once
#include <cstdint>

#include "image/image.h"
#include "isp/identity.h"

// The version as text ("3.04", "3.04.02b(Beta)", "None"), in one static
// 128-character storage that the next call overwrites. Always terminated.
const char* formatVersion(std::uint32_t version);

// The length formatVersion is expected to give; exact while major and minor
// stay below 100.
int versionTextWidth(std::uint32_t version);

// Writes the version text, a "," and `spaces` spaces to standard output.
void printVersionField(std::uint32_t version, int spaces);

// Prints the "Current Version" and "Update Version" lines of the switch and
// the image header, padded so that their "Model:" columns line up.
void showVersions(const DeviceIdentity* identity, const FirmwareImage* header);

// 0: confirmVersion asks on the keyboard. 'Y' or 'N': it takes that answer
// without reading a key and prints it as if typed.
extern int automaticAnswer;

// Says whether the offered version is newer, older or the same, shows both,
// and asks Y/N on the keyboard until one of them is given. Returns 1 for Y;
// 0 for N or end of input (after printing "Update canceled."). cursor->header
// must not be null.
int confirmVersion(const DeviceIdentity* identity, const ImageCursor* cursor);
