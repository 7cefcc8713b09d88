// A serial port, one record per port: each switch's session owns one.
// These functions are the same for every kind of port (serial_common.cpp);
// each calls the operations of the record's kind (link/port.h). A record
// starts zeroed (closed) and is then the platform's serial device.
//
// Results follow the link convention: 0 is failure, 1 or a byte count is
// success. Every operation but comOpen and comClose returns 0 without a
// system call when the port is closed. None of them prints.
#pragma once
#include <cstdint>

#include "link/port.h"

// Platform state lives in opaque storage so this header stays free of
// platform includes. POSIX keeps its file descriptor in `handle`; Win32 keeps
// its HANDLE there and its OVERLAPPED records, events and read-ahead bytes in `platform`.
struct SerialPort {
    std::intptr_t handle;                     // 0 when closed
    alignas(8) unsigned char platform[384];   // per-platform records
    std::int32_t isOpen;                      // 1 while open
    unsigned baud;                            // the rate the port runs at; 0 while closed
    int openFailure;                          // why the last open failed: a PORT_OPEN_ value
    int dtrUnanswered;                        // 1: the last DTR setting got no answer (a network
                                              // server in front of a line without modem lines)
    const PortOperations* operations;         // the kind of port; nullptr: the platform's serial device
    void* context;                            // the kind's own state, owned by whoever set `operations`
};

// Why an open failed; the two a user can act on are told apart.
enum : int {
    PORT_OPEN_OK = 0,
    PORT_OPEN_MISSING = 1,   // no such device
    PORT_OPEN_DENIED = 2,    // the user may not open it (POSIX: not in the device's group)
    PORT_OPEN_BUSY = 3,      // another program holds it
    PORT_OPEN_FAILED = 4,    // any other reason
    PORT_OPEN_ALREADY = 5,   // the record is open already; it stays as it was
    // A network port (rfc2217://HOST:PORT):
    PORT_OPEN_NOT_RFC2217 = 6,   // the server answers but does not take serial settings
    PORT_OPEN_REFUSED = 7,       // nothing listens at that port
    PORT_OPEN_UNREACHABLE = 8,   // no route to the host
    PORT_OPEN_NO_HOST = 9,       // the name is not known
    PORT_OPEN_TIMED_OUT = 10,    // no answer in time
};

// Opens COM `portNumber` at `baud`, 8 data bits, no software or hardware flow
// control, DTR off, with nothing received waiting, exclusively. Returns 1 on
// success; 0 on failure, its reason in openFailure (also when the record is
// open already).
int comOpen(SerialPort* port, unsigned portNumber, unsigned baud);

// Opens the device at `path` as comOpen does (POSIX; on Windows a path such
// as "\\\\.\\COM5"), or the serial line behind a network serial server when
// `path` is rfc2217://HOST:PORT.
int comOpenDevice(SerialPort* port, const char* path, unsigned baud);

// Changes the rate. 1 on success; 0 on failure, and the port is then closed.
int comSetBaud(SerialPort* port, unsigned baud);

// Releases everything the port holds; harmless when closed. Always 1.
int comClose(SerialPort* port);

// Writes `count` bytes within 1000 ms and drains them to the line. Returns the
// count written; 0 on failure or time-out.
int comWrite(SerialPort* port, const void* bytes, std::int32_t count);

// Number of received bytes waiting; 0 on failure or when closed.
int comBytesWaiting(SerialPort* port);

// Reads up to `count` bytes: waits at most 1000 ms for the first, then stops
// at `count` or at a 10 ms gap. Returns the bytes read; 0 on failure/time-out.
int comRead(SerialPort* port, void* buffer, std::int32_t count);

// Waits until at least one received byte is waiting or `timeoutMs` pass,
// without spinning. Returns 1 when data is waiting, PORT_LOST (at once) when
// the line is gone for good where the kind of port can tell, 0 otherwise.
int comWaitInput(SerialPort* port, unsigned timeoutMs);

// Writes a NUL-terminated text (without the NUL) to `port`.
int comSendString(SerialPort* port, const char* text);
// Writes the low 8 bits of `value` as one byte to `port`.
int comSendByte(SerialPort* port, int value);
