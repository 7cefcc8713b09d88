// The ports a run tries: the one the user named, or those a scan finds.
// Implemented once per platform (port_list_posix.cpp, port_list_win32.cpp).
#pragma once
#include <cstddef>

constexpr std::size_t PORT_DEVICE_SIZE = 256;
constexpr int SCAN_PORT_LIMIT = 16;

// One port to try: opened by its device path when it has one, otherwise by
// its COM number.
struct PortName {
    unsigned number;                 // COM number; 0 when the device has none
    char device[PORT_DEVICE_SIZE];   // device path; empty when the COM number alone names the port
};

// Fills `ports` with the ports a scan without a port argument tries, in order,
// at most `capacity` of them. Returns how many; 0 when no serial port exists.
// Windows: COM1-COM16. POSIX with BMFWU_PORT_DIR set: COM1-COM16 in that
// folder. Otherwise the serial devices present (see comListSerialDevices),
// under $BMFWU_SYSTEM_ROOT when set (tests give a fake tree there).
int comScanPorts(PortName* ports, int capacity);

// 1 when `argument` names a device by its path on this platform (POSIX: it
// begins with "/"); 0 otherwise (always on Windows).
int comIsDevicePath(const char* argument);

// What comCheckDevice finds at a path (0 usable, positive codes the reasons not).
constexpr int DEVICE_USABLE = 0;
constexpr int DEVICE_MISSING = 1;      // nothing there
constexpr int DEVICE_NOT_SERIAL = 2;   // not a character device, or a path too long to keep

// Whether the device path a user gave may be tried as a serial port, without
// opening it (opening raises the modem lines of a real port).
int comCheckDevice(const char* path);

// 1 when both name the same device (two arguments naming one device count once).
int comSamePort(const PortName& first, const PortName& second);

// A name of the port that stays the same across reboots and replugging, where
// the system gives one (Linux: /dev/serial/by-id, else by-path, under
// $BMFWU_SYSTEM_ROOT when set), so a technician can tell which cable is which.
// 1 with the name in `name`; 0 when there is none.
int comStableName(const PortName& port, char* name, std::size_t size);

// The group owning the port's device and the name of the user running the
// program, for the hint to a user who may not open the port (POSIX). 1 with
// the name stored; 0 when it is not known (always on Windows).
int comDeviceGroup(const PortName& port, char* group, std::size_t size);
int comUserName(char* name, std::size_t size);

// What a port name with a scheme is: a serial line on the network
// ("rfc2217://HOST:PORT", the scheme in any case, HOST a name, an IPv4
// address or an IPv6 address in brackets) or a name the program cannot use.
constexpr int PORT_URL_NONE = 0;           // no scheme: a number, COMn or a device path
constexpr int PORT_URL_RFC2217 = 1;        // a well-formed network port
constexpr int PORT_URL_OTHER_SCHEME = 2;   // socket://, tcp://...: no way to set the line's rate
constexpr int PORT_URL_MALFORMED = 3;      // rfc2217:// without a usable HOST:PORT
int comPortUrlKind(const char* name);

// The host (brackets removed) and the port number's text of a well-formed
// rfc2217 name. 1 when both fit their buffers.
int comSplitPortUrl(const char* name, char* host, std::size_t hostSize, char* service, std::size_t serviceSize);
