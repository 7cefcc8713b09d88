#include "link/port_list.h"

#include <algorithm>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include <dirent.h>
#include <fcntl.h>
#include <grp.h>
#include <linux/serial.h>
#include <pwd.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "link/device_path_posix.h"

namespace {

constexpr int PORT_TYPE_UNKNOWN = 0;   // what the 8250 driver reports for a placeholder
constexpr int MAX_FAMILY_DEVICES = 256;
constexpr std::size_t SYS_PATH_SIZE = PORT_DEVICE_SIZE + 64;

struct ScanFamily {
    const char* name;
    bool placeholders;   // the driver creates devices for ports that may not exist
};

// Plugged-in adapters first: an on-board UART is rarely what the cable is on.
constexpr ScanFamily SCAN_ORDER[] = {{"ttyUSB", false}, {"ttyACM", false}, {"ttyS", true}};
constexpr int FAMILY_COUNT = sizeof SCAN_ORDER / sizeof SCAN_ORDER[0];

struct FamilyIndices {
    long index[MAX_FAMILY_DEVICES];
    int count;
};

void collectDevices(const char* root, FamilyIndices* found) {
    char path[SYS_PATH_SIZE];
    std::snprintf(path, sizeof path, "%s/dev", root);
    DIR* dev = opendir(path);
    if (dev == nullptr) return;
    while (const dirent* entry = readdir(dev)) {
        for (int family = 0; family < FAMILY_COUNT; ++family) {
            const long index = comDeviceIndex(entry->d_name, SCAN_ORDER[family].name);
            FamilyIndices& indices = found[family];
            if (index >= 0 && indices.count < MAX_FAMILY_DEVICES) indices.index[indices.count++] = index;
        }
    }
    closedir(dev);
    for (int family = 0; family < FAMILY_COUNT; ++family) {
        std::sort(found[family].index, found[family].index + found[family].count);
    }
}

// The port type sysfs reports; -1 when it has none to read.
int sysfsPortType(const char* root, const char* name) {
    char path[SYS_PATH_SIZE];
    std::snprintf(path, sizeof path, "%s/sys/class/tty/%s/type", root, name);
    std::FILE* file = std::fopen(path, "r");
    if (file == nullptr) return -1;
    int type = -1;
    if (std::fscanf(file, "%d", &type) != 1) type = -1;
    std::fclose(file);
    return type;
}

// Asks the driver itself; a placeholder refuses to open or reports type unknown.
int driverPortType(const char* device) {
    const int fd = open(device, O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) return -1;
    serial_struct info{};
    const int type = ioctl(fd, TIOCGSERIAL, &info) == 0 ? info.type : -1;
    close(fd);
    return type;
}

bool uartPresent(const char* root, const char* name, const char* device) {
    int type = sysfsPortType(root, name);
    if (type < 0) type = driverPortType(device);
    return type > PORT_TYPE_UNKNOWN;
}

// Fills `port` for device `name`; false when it is a placeholder or its path does not fit.
bool describeDevice(const char* root, const ScanFamily& family, long index, PortName* port) {
    char name[32];
    std::snprintf(name, sizeof name, "%s%ld", family.name, index);
    const int length = std::snprintf(port->device, sizeof port->device, "%s/dev/%s", root, name);
    if (length <= 0 || static_cast<std::size_t>(length) >= sizeof port->device) return false;
    if (family.placeholders && !uartPresent(root, name, port->device)) return false;
    port->number = comDeviceNumber(name);
    return true;
}

void fillComPorts(PortName* ports, int count) {
    for (int port = 0; port < count; ++port) {
        ports[port].number = static_cast<unsigned>(port + 1);
        ports[port].device[0] = '\0';
    }
}

}   // namespace

int comListSerialDevices(const char* root, PortName* ports, int capacity) {
    FamilyIndices found[FAMILY_COUNT]{};   // about 10 KB, once per scan
    collectDevices(root, found);
    int count = 0;
    for (int family = 0; family < FAMILY_COUNT; ++family) {
        for (int at = 0; at < found[family].count && count < capacity; ++at) {
            if (describeDevice(root, SCAN_ORDER[family], found[family].index[at], &ports[count])) ++count;
        }
    }
    return count;
}

int comScanPorts(PortName* ports, int capacity) {
    const int limit = std::min(capacity, SCAN_PORT_LIMIT);
    if (comPortDir() == nullptr) {
        const char* root = std::getenv("BMFWU_SYSTEM_ROOT");
        return comListSerialDevices(root != nullptr ? root : "", ports, limit);
    }
    fillComPorts(ports, limit);
    return limit;
}

int comIsDevicePath(const char* argument) {
    return argument != nullptr && argument[0] == '/' ? 1 : 0;
}

int comCheckDevice(const char* path) {
    if (std::strlen(path) >= PORT_DEVICE_SIZE) return DEVICE_NOT_SERIAL;
    struct stat status;
    if (stat(path, &status) != 0) return DEVICE_MISSING;
    return S_ISCHR(status.st_mode) ? DEVICE_USABLE : DEVICE_NOT_SERIAL;
}

namespace {

// The device a port name stands for, followed through its links.
bool resolvedPath(const PortName& port, char* resolved) {
    char path[PORT_DEVICE_SIZE];
    if (port.device[0] != '\0')
        std::snprintf(path, sizeof path, "%s", port.device);
    else if (comDevicePath(port.number, path, sizeof path) == 0)
        return false;
    return realpath(path, resolved) != nullptr;
}

bool linkInFolderTo(const char* folder, const char* target, char* name, std::size_t size) {
    DIR* dir = opendir(folder);
    if (dir == nullptr) return false;
    bool found = false;
    char entryPath[PATH_MAX], resolved[PATH_MAX];
    for (dirent* entry = readdir(dir); entry != nullptr && !found; entry = readdir(dir)) {
        if (entry->d_name[0] == '.') continue;
        const int length = std::snprintf(entryPath, sizeof entryPath, "%s/%s", folder, entry->d_name);
        if (length < 0 || length >= static_cast<int>(sizeof entryPath)) continue;
        found = realpath(entryPath, resolved) != nullptr && std::strcmp(resolved, target) == 0 &&
                std::snprintf(name, size, "%s", entryPath) < static_cast<int>(size);
    }
    closedir(dir);
    return found;
}

}   // namespace

int comSamePort(const PortName& first, const PortName& second) {
    char a[PATH_MAX], b[PATH_MAX];
    if (resolvedPath(first, a) && resolvedPath(second, b)) return std::strcmp(a, b) == 0 ? 1 : 0;
    return first.number == second.number && std::strcmp(first.device, second.device) == 0 ? 1 : 0;
}

int comStableName(const PortName& port, char* name, std::size_t size) {
    char target[PATH_MAX], folder[PATH_MAX];
    if (size > 0) name[0] = '\0';
    if (!resolvedPath(port, target)) return 0;
    const char* root = std::getenv("BMFWU_SYSTEM_ROOT");
    for (const char* kind : {"by-id", "by-path"}) {
        std::snprintf(folder, sizeof folder, "%s/dev/serial/%s", root != nullptr ? root : "", kind);
        if (linkInFolderTo(folder, target, name, size)) return 1;
    }
    return 0;
}

int comDeviceGroup(const PortName& port, char* group, std::size_t size) {
    char path[PATH_MAX];
    struct stat device {};
    if (!resolvedPath(port, path) || stat(path, &device) != 0) return 0;
    const struct group* entry = getgrgid(device.st_gid);
    return entry != nullptr && std::snprintf(group, size, "%s", entry->gr_name) < static_cast<int>(size) ? 1 : 0;
}

int comUserName(char* name, std::size_t size) {
    const struct passwd* entry = getpwuid(geteuid());
    const char* user = entry != nullptr ? entry->pw_name : std::getenv("USER");
    return user != nullptr && std::snprintf(name, size, "%s", user) < static_cast<int>(size) ? 1 : 0;
}
