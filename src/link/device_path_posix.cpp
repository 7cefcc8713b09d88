#include "link/device_path_posix.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

struct DeviceFamily {
    const char* name;   // the device name before its index, as in /dev
    unsigned firstPort;
};

// Each family covers 32 consecutive COM numbers.
constexpr unsigned PORTS_PER_FAMILY = 32;
constexpr DeviceFamily DEVICE_FAMILIES[] = {
    {"ttyS", 1},
    {"ttyUSB", 33},
    {"ttyACM", 65},
};

// Turns snprintf's result into ours; a truncated path is never handed out.
int storePath(char* path, std::size_t size, int length) {
    if (length > 0 && static_cast<std::size_t>(length) < size) return 1;
    path[0] = '\0';
    return 0;
}

}   // namespace

long comDeviceIndex(const char* name, const char* family) {
    const std::size_t length = std::strlen(family);
    if (std::strncmp(name, family, length) != 0) return -1;
    const char* digits = name + length;
    if (*digits < '0' || *digits > '9' || std::strlen(digits) > 4) return -1;
    char* end = nullptr;
    const long index = std::strtol(digits, &end, 10);
    return *end == '\0' ? index : -1;
}

const char* comPortDir() {
    const char* portDir = std::getenv("BMFWU_PORT_DIR");
    return portDir != nullptr && portDir[0] != '\0' ? portDir : nullptr;
}

int comDevicePath(unsigned portNumber, char* path, std::size_t size) {
    if (path == nullptr || size == 0) return 0;
    path[0] = '\0';
    if (const char* portDir = comPortDir()) {
        return storePath(path, size, std::snprintf(path, size, "%s/COM%u", portDir, portNumber));
    }
    for (const DeviceFamily& family : DEVICE_FAMILIES) {
        if (portNumber >= family.firstPort && portNumber < family.firstPort + PORTS_PER_FAMILY) {
            unsigned index = portNumber - family.firstPort;
            return storePath(path, size, std::snprintf(path, size, "/dev/%s%u", family.name, index));
        }
    }
    return 0;
}

unsigned comDeviceNumber(const char* name) {
    for (const DeviceFamily& family : DEVICE_FAMILIES) {
        const long index = comDeviceIndex(name, family.name);
        if (index >= 0 && index < static_cast<long>(PORTS_PER_FAMILY)) {
            return family.firstPort + static_cast<unsigned>(index);
        }
    }
    return 0;
}
