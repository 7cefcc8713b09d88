#include "link/device_path_posix.h"

#include <cstdio>
#include <cstdlib>

namespace {

struct DeviceFamily {
    const char* prefix;
    unsigned firstPort;
};

// Each family covers 32 consecutive COM numbers.
constexpr unsigned PORTS_PER_FAMILY = 32;
constexpr DeviceFamily DEVICE_FAMILIES[] = {
    {"/dev/ttyS", 1},
    {"/dev/ttyUSB", 33},
    {"/dev/ttyACM", 65},
};

// Turns snprintf's result into ours; a truncated path is never handed out.
int storePath(char* path, std::size_t size, int length) {
    if (length > 0 && static_cast<std::size_t>(length) < size) return 1;
    path[0] = '\0';
    return 0;
}

}  // namespace

int comDevicePath(unsigned portNumber, char* path, std::size_t size) {
    if (path == nullptr || size == 0) return 0;
    path[0] = '\0';
    const char* portDir = std::getenv("BMFWU_PORT_DIR");
    if (portDir != nullptr && portDir[0] != '\0') {
        return storePath(path, size, std::snprintf(path, size, "%s/COM%u", portDir, portNumber));
    }
    for (const DeviceFamily& family : DEVICE_FAMILIES) {
        if (portNumber >= family.firstPort && portNumber < family.firstPort + PORTS_PER_FAMILY) {
            unsigned index = portNumber - family.firstPort;
            return storePath(path, size, std::snprintf(path, size, "%s%u", family.prefix, index));
        }
    }
    return 0;
}
