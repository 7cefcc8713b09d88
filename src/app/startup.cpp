#include "app/startup.h"

#include <cctype>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>

#include "app/exit.h"
#include "firmware/firmware.h"
#include "format/sinks.h"
#include "image/image.h"

constexpr int MAX_PORT_NUMBER = 99;
constexpr int SCAN_LAST_PORT = 16;

void printBanner() {
    consoleMessage("Brenmoor / Talvik firmware update utility. Version %d.%d", BANNER_MAJOR, BANNER_MINOR);
    consoleMessage("\n%s\n", "Updates the firmware of Brenmoor audio matrix switches over a serial port.");
}

void printUsageAndExit() {
    consolePutString("\nUse: BMFWU [x]\n");
    consolePutString("\nWhere:");
    consolePutString("\n   x    = Optional, If not 0, then this is a comport number between 1 and 99,");
    consolePutString("\n          otherwise searches COM1 - COM16.");
    exitProgram(1);
}

bool imageFitsItsStorage(int index) {
    const auto* header = reinterpret_cast<const FirmwareImage*>(firmwareImages[index]);
    return header->totalLength >= sizeof(FirmwareImage) && header->totalLength <= firmwareImageSizes[index];
}

void validateFirmwareImages() {
    for (int index = 0; index < FIRMWARE_IMAGE_COUNT; ++index) {
        imageCursor.base = firmwareImages[index];
        if (imageCursor.base == nullptr) continue;
        // A damaged length must not send the CRC check past the image's storage.
        if (!imageFitsItsStorage(index)) {
            consoleMessage("\nError: Bad layout of file \"%s\"\n", "Firmware");
            exitProgram(1);
        }
        if (validateImage("Firmware", &imageCursor) != 0) exitProgram(1);
        consolePutString("Firmware validated.\n");
    }
}

namespace {
// strtoul as a 32-bit C library has it: white space and a sign accepted, no
// digits give 0, too large gives all ones, "-" negates modulo 2^32.
std::uint32_t parse32(const char* text) {
    while (std::isspace(static_cast<unsigned char>(*text))) ++text;
    const bool negative = *text == '-';
    if (*text == '+' || *text == '-') ++text;
    if (!std::isdigit(static_cast<unsigned char>(*text))) return 0;
    errno = 0;
    const unsigned long long magnitude = std::strtoull(text, nullptr, 10);
    if (errno == ERANGE || magnitude > 0xFFFFFFFFull) return 0xFFFFFFFFu;
    const auto value = static_cast<std::uint32_t>(magnitude);
    return negative ? 0u - value : value;
}
}  // namespace

PortRange portRangeFromArgument(const char* argument) {
    const std::uint32_t value = argument != nullptr ? parse32(argument) : 0;
    const auto port = static_cast<std::int32_t>(value);
    if (port == 0) return PortRange{1, SCAN_LAST_PORT, false};
    if (port < 1 || port > MAX_PORT_NUMBER) {
        consoleMessage("\nCOM%u is an invalid COM port number.\nChoose a COM port number between 1 and 99\n",
                    static_cast<unsigned>(value));
        exitProgram(1);
    }
    return PortRange{port, port, true};
}
