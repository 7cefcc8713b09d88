#include "app/startup.h"

#include <cctype>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "app/exit.h"
#include "catalog/version.h"
#include "crc32/crc32.h"
#include "firmware/firmware.h"
#include "format/sinks.h"
#include "image/image.h"

constexpr int MAX_PORT_NUMBER = 99;
constexpr char OPTIONS_TEXT[] =
    "\n          x may also be COMn, or on Linux a device path such as /dev/ttyUSB0."
    "\n          On the network: rfc2217://HOST:PORT, a serial server in RFC 2217 mode."
    "\n\nOptions, before or after x:"
    "\n   /info, --info, -i       identify every switch found; change nothing"
    "\n   /yes, --yes, -y         answer Y and end without a key wait; exit status"
    "\n                           0 updated, 1 failed, 2 nothing to update"
    "\n   /log FILE, --log FILE   append a record of the run to FILE for support"
    "\n   /verify, --verify       read the whole flash back after writing it"
    "\n   /all, --all, -a         update all switches found (or on the ports) at once"
    "\n   /ports FILE, --ports FILE  with --all or --info, also the ports in FILE,"
    "\n                           one a line; a line starting with # is a comment"
    "\n   /json, --json           with --info, --yes or --all: the results as JSON on"
    "\n                           standard output, all other text on standard error"
    "\n   /version, --version     show the program's version and its firmware images"
    "\n   /?, -h, --help          show this text";

void printBanner() {
    consoleMessage("%s. Version %d.%d", BMFWU_PRODUCT_NAME, BANNER_MAJOR, BANNER_MINOR);
    consoleMessage("\n%s\n", "Updates the firmware of Brenmoor audio matrix switches over a serial port.");
}

int printUsage(bool listOptions) {
    consolePutString("\nUse: BMFWU [x]\n");
    consolePutString("\nWhere:");
    consolePutString("\n   x    = Optional, If not 0, then this is a comport number between 1 and 99,");
    consolePutString("\n          otherwise searches COM1 - COM16.");
    if (listOptions) consolePutString(OPTIONS_TEXT);
    return EXIT_FAILED;
}

namespace {
std::uint32_t storedCrc(const std::uint8_t* block, std::uint32_t length) {
    return littleEndianWord(block + length - 4);
}

void printImageIdentity(int index, const ImageCursor& cursor) {
    const FirmwareImage* header = cursor.header;
    consoleMessage("Image %d: %.*s, product id 0x%02X, PCB revision %u, version %s", index + 1,
                   static_cast<int>(sizeof header->modelName), header->modelName, header->productId,
                   header->pcbRevision, formatVersion(header->version).text);
    consoleMessage(", CRC-32 container 0x%08X, application 0x%08X, parameters 0x%08X\n",
                   storedCrc(cursor.base, header->totalLength), storedCrc(cursor.application, header->appLength),
                   storedCrc(cursor.parameters, header->paramLength));
}
}   // namespace

int printVersions() {
    consoleMessage("\nbmfwu version %d.%d\n", BANNER_MAJOR, BANNER_MINOR);
    for (int index = 0; index < FIRMWARE_IMAGE_COUNT; ++index) {
        ImageCursor cursor{firmwareImages[index], nullptr, nullptr, nullptr};
        if (!imageFitsItsStorage(index) || validateImage("Firmware", &cursor) != IMAGE_INTACT) return EXIT_FAILED;
        printImageIdentity(index, cursor);
    }
    return EXIT_COMPLETED;
}

bool imageFitsItsStorage(int index) {
    const auto* header = reinterpret_cast<const FirmwareImage*>(firmwareImages[index]);
    return header->totalLength >= sizeof(FirmwareImage) && header->totalLength <= firmwareImageSizes[index];
}

bool validateFirmwareImages() {
    for (int index = 0; index < FIRMWARE_IMAGE_COUNT; ++index) {
        ImageCursor cursor{firmwareImages[index], nullptr, nullptr, nullptr};
        if (cursor.base == nullptr) continue;
        // A damaged length must not send the CRC check past the image's storage.
        if (!imageFitsItsStorage(index)) {
            consoleMessage("\nError: Bad layout of file \"%s\"\n", "Firmware");
            return false;
        }
        if (validateImage("Firmware", &cursor) != IMAGE_INTACT) return false;
        consolePutString("Firmware validated.\n");
    }
    return true;
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

constexpr char COM_PREFIX[] = "com";
constexpr std::size_t COM_PREFIX_LENGTH = sizeof COM_PREFIX - 1;

bool hasComPrefix(const char* argument) {
    for (std::size_t at = 0; at < COM_PREFIX_LENGTH; ++at) {
        if (std::tolower(static_cast<unsigned char>(argument[at])) != COM_PREFIX[at]) return false;
    }
    return true;
}

// "COM5" and "com5" mean 5; a name without digits names no port.
bool comNameNumber(const char* argument, std::uint32_t* number) {
    const char* digits = argument + COM_PREFIX_LENGTH;
    if (!std::isdigit(static_cast<unsigned char>(*digits))) {
        consoleMessage("\n\"%s\" has no COM port number.\nChoose a COM port number between 1 and 99\n", argument);
        return false;
    }
    *number = parse32(digits);
    return true;
}

bool reportInvalidPort(std::uint32_t value) {
    consoleMessage("\nCOM%u is an invalid COM port number.\nChoose a COM port number between 1 and 99\n",
                   static_cast<unsigned>(value));
    return false;
}

bool namedDeviceRange(const char* name, PortRange* range) {
    std::snprintf(range->ports[0].device, sizeof range->ports[0].device, "%s", name);
    range->count = 1;
    range->singlePort = true;
    return true;
}

bool devicePathRange(const char* path, PortRange* range) {
    const int check = comCheckDevice(path);
    if (check == DEVICE_USABLE) return namedDeviceRange(path, range);
    consoleMessage(check == DEVICE_MISSING ? "\n%s: no such device.\n" : "\n%s is not a serial device.\n", path);
    return false;
}

// Only a server that sets the line's rate will do: an update moves the
// switch from its application's rate to its bootloader's.
bool networkPortRange(const char* name, PortRange* range) {
    const int kind = comPortUrlKind(name);
    if (kind == PORT_URL_RFC2217) return namedDeviceRange(name, range);
    if (kind == PORT_URL_OTHER_SCHEME)
        consoleMessage(
            "\n%s: only rfc2217:// network ports can be used: an update changes"
            "\nthe line's rate, which a plain TCP connection cannot do.\n",
            name);
    else
        consoleMessage("\n%s is not a network port: write it as rfc2217://HOST:PORT.\n", name);
    return false;
}
}   // namespace

bool portRangeFromArgument(const char* argument, PortRange* range) {
    *range = PortRange{};
    if (argument != nullptr && comPortUrlKind(argument) != PORT_URL_NONE) return networkPortRange(argument, range);
    if (argument != nullptr && comIsDevicePath(argument) != 0) return devicePathRange(argument, range);
    const bool comName = argument != nullptr && hasComPrefix(argument);
    std::uint32_t value = 0;
    if (comName && !comNameNumber(argument, &value)) return false;
    if (argument != nullptr && !comName) value = parse32(argument);
    const auto port = static_cast<std::int32_t>(value);
    if (port == 0 && !comName) {   // "COM0" names no port rather than asking for a scan
        range->count = comScanPorts(range->ports, SCAN_PORT_LIMIT);
        return true;
    }
    if (port < 1 || port > MAX_PORT_NUMBER) return reportInvalidPort(value);
    range->ports[0].number = value;
    range->count = 1;
    range->singlePort = true;
    return true;
}

namespace {
bool alreadyIn(const PortRange& range, const PortName& port) {
    for (int at = 0; at < range.count; ++at)
        if (comSamePort(range.ports[at], port) != 0) return true;
    return false;
}

void addPorts(const PortRange& named, PortRange* range) {
    for (int at = 0; at < named.count && range->count < SCAN_PORT_LIMIT; ++at)
        if (!alreadyIn(*range, named.ports[at])) range->ports[range->count++] = named.ports[at];
}

bool rejectLine(const char* file, int line, const char* why) {
    consoleMessage("\n%s, line %d: %s\n", file, line, why);
    return false;
}

// One line of a ports file: a port, a comment or nothing. False, its message
// printed, when it names no port or the list is full.
bool addPortLine(const char* file, int line, char* text, PortRange* range) {
    while (std::isspace(static_cast<unsigned char>(*text))) ++text;
    std::size_t length = std::strlen(text);
    while (length > 0 && std::isspace(static_cast<unsigned char>(text[length - 1]))) text[--length] = '\0';
    if (length == 0 || text[0] == '#') return true;
    PortRange named;
    if (!portRangeFromArgument(text, &named) || !named.singlePort) return rejectLine(file, line, "names no port.");
    if (range->count == SCAN_PORT_LIMIT && !alreadyIn(*range, named.ports[0]))
        return rejectLine(file, line, "one port too many (16 at most).");
    addPorts(named, range);
    return true;
}

bool unreadablePortsFile(const char* file) {
    consoleMessage("\nCannot read the list of ports \"%s\".\n", file);
    return false;
}

bool addPortsFile(const char* file, PortRange* range) {
    std::FILE* input = std::fopen(file, "r");
    if (input == nullptr) return unreadablePortsFile(file);
    char text[PORT_DEVICE_SIZE + 2];
    bool usable = true;
    for (int line = 1; usable && std::fgets(text, sizeof text, input) != nullptr; ++line) {
        const bool whole = std::strchr(text, '\n') != nullptr || std::feof(input) != 0;
        usable = whole ? addPortLine(file, line, text, range) : rejectLine(file, line, "is too long to name a port.");
    }
    if (usable && std::ferror(input) != 0) usable = unreadablePortsFile(file);
    std::fclose(input);
    return usable;
}
}   // namespace

bool portRangeFromArguments(const char* const* arguments, int count, const char* portsFile, PortRange* range) {
    if (count <= 1 && portsFile == nullptr) return portRangeFromArgument(count == 1 ? arguments[0] : nullptr, range);
    *range = PortRange{};
    for (int argument = 0; argument < count; ++argument) {
        PortRange named;
        if (!portRangeFromArgument(arguments[argument], &named)) return false;
        addPorts(named, range);
    }
    return portsFile == nullptr || addPortsFile(portsFile, range);
}
