#include "link/port_list.h"

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
