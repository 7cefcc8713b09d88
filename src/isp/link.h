// One port's link to the switch on it: the port, where the link's messages
// go, the bootloader client's state and what is known of the switch. Every
// function of src/isp works on one such record; a session owns one per port,
// so ports can be worked on at the same time.
#pragma once
#include <atomic>
#include <cstdint>

#include "format/sinks.h"
#include "isp/identity.h"
#include "link/serial.h"

constexpr unsigned APPLICATION_BAUD = 19200;   // the switch application's rate
constexpr unsigned BOOTLOADER_BAUD = 115200;   // the rate the program runs the ROM bootloader at

constexpr int ISP_COMMAND_CAPACITY = 40;   // the longest command line, without CR LF, and its terminator
constexpr int ISP_CHUNK_LINES = 20;        // UU lines per checksum group

enum IspReturnCode : int;   // named in isp/isp.h

// The last exchange, for the support log and for messages that name it.
struct IspExchange {
    char command[ISP_COMMAND_CAPACITY];   // without its CR LF
    IspReturnCode returnCode;             // the answer's code, ISP_NO_ANSWER or ISP_NOT_A_CODE
    bool echoDiffers;                     // the echo was on and did not come back as sent
};

// The bootloader client: the state of the one command path.
struct IspClient {
    IspExchange lastExchange{};
    std::uint32_t damageReports = 0;    // see ispDamageReports
    bool echoMode = false;              // the bootloader echoes, and every command checks its echo
    int groupLines = ISP_CHUNK_LINES;   // lines per checksum group while the echo is on
    int cleanGroups = 0;
    bool outOfStep = false;   // the last group's echoes and verdict did not come in order
};

struct SwitchLink {
    SerialPort port{};                         // owns its rate
    const OutputSink* out = nullptr;           // the link's messages; nullptr: the console
    const char* traceTag = nullptr;            // names the port on the support log beside others
    const std::atomic<bool>* stop = nullptr;   // set by another thread: give up waiting for the switch
    IspClient isp;
    int state = LINK_NONE;       // a LINK_ value: how the link stands
    DeviceIdentity identity{};   // the switch on this port
    TableCopy table{};
};
