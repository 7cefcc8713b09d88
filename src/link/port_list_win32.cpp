#include "link/port_list.h"

#include <cstring>

int comScanPorts(PortName* ports, int capacity) {
    int count = 0;
    for (; count < capacity && count < SCAN_PORT_LIMIT; ++count) {
        ports[count].number = static_cast<unsigned>(count + 1);
        ports[count].device[0] = '\0';
    }
    return count;
}

int comIsDevicePath(const char*) {
    return 0;
}

// Windows names its ports by number only; no argument reaches this.
int comCheckDevice(const char*) {
    return DEVICE_NOT_SERIAL;
}

int comSamePort(const PortName& first, const PortName& second) {
    return first.number == second.number && std::strcmp(first.device, second.device) == 0 ? 1 : 0;
}

// Windows offers no such name for a COM port.
int comStableName(const PortName&, char* name, std::size_t size) {
    if (size > 0) name[0] = '\0';
    return 0;
}

int comDeviceGroup(const PortName&, char* group, std::size_t size) {
    if (size > 0) group[0] = '\0';
    return 0;
}

int comUserName(char* name, std::size_t size) {
    if (size > 0) name[0] = '\0';
    return 0;
}
