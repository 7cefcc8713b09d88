// The operations behind a serial port record, one table per kind of port:
// the platform's serial device (serial_posix.cpp or serial_win32.cpp, picked
// by the build) or a stand-in such as a test's scripted peer. The com…
// functions of serial.h are the only callers: they check the record and the
// arguments, keep isOpen and baud, and call an operation only on an open port
// with a buffer and a positive count (open on a closed one).
//
// Results follow the link convention (0 failure, 1 or a byte count success)
// unless said otherwise. An operation may keep its state in `handle`,
// `platform` and `context` of the record; close leaves `operations` and
// `context` as they are, so the record can be opened again.
#pragma once
#include <cstddef>
#include <cstdint>

struct SerialPort;

// Room for a device name, its terminator included.
constexpr std::size_t PORT_PATH_CAPACITY = 512;
// How long a read waits for its first byte and a write for the line.
constexpr unsigned PORT_IO_WAIT_MS = 1000;
// A silence this long between received bytes ends a read.
constexpr unsigned PORT_BYTE_GAP_MS = 10;

struct PortOperations {
    // The device name of port `number`. 0 when the number names no device or
    // the name does not fit `size`.
    int (*numberedPath)(unsigned number, char* path, std::size_t size);
    // Opens `path` at `baud`, 8 data bits, no flow control, exclusively.
    // Returns PORT_OPEN_OK or why it failed; on failure nothing is held.
    int (*open)(SerialPort* port, const char* path, unsigned baud);
    // Releases everything open took.
    void (*close)(SerialPort* port);
    // Waits at most `firstByteMs` for the first byte, then takes bytes until
    // `count` or a PORT_BYTE_GAP_MS silence. Returns the bytes read.
    int (*read)(SerialPort* port, void* buffer, std::int32_t count, unsigned firstByteMs);
    // Hands `count` bytes to the line within `waitMs`. Returns `count`, or
    // less when the line failed or the wait ran out; what did not go is then
    // dropped, so the next write starts clean.
    int (*write)(SerialPort* port, const void* bytes, std::int32_t count, unsigned waitMs);
    // Waits until every byte written has left.
    int (*drain)(SerialPort* port);
    // Drops every received byte not yet read.
    int (*purge)(SerialPort* port);
    int (*setBaud)(SerialPort* port, unsigned baud);
    // Raises (1) or drops (0) DTR; a line without modem lines succeeds.
    int (*setDtr)(SerialPort* port, int raised);
    // Received bytes waiting to be read; never waits.
    int (*bytesWaiting)(SerialPort* port);
    // 1 once a received byte is waiting, 0 when `timeoutMs` passed first,
    // PORT_LOST once the line is gone for good (a closed connection, a hung-up line).
    int (*waitInput)(SerialPort* port, unsigned timeoutMs);
};

constexpr int PORT_LOST = -1;

// The platform's serial device; a record whose `operations` is unset uses it.
const PortOperations* platformSerialPort();
