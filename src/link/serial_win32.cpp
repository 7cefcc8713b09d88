// The serial port on Windows: one COM device opened for overlapped I/O, with
// a read and a write OVERLAPPED record, each with its own manual-reset event.
// Reads smaller than what the driver holds take all of it into a read-ahead
// buffer: the protocol reads lines a byte at a time, and one ReadFile per byte
// is slow where each call is a round trip (Wine sends each through its server).
#include "link/serial.h"

#include <windows.h>

#include <cstdio>
#include <cstring>

namespace {

constexpr DWORD QUEUE_BYTES = 10000;
constexpr DWORD READ_AHEAD_BYTES = 256;

// What `platform` holds while the port is open. `rxMask` receives the event
// mask of WaitCommEvent, which the driver may write until the wait completes.
// `ahead[aheadNext, aheadEnd)` holds bytes received but not yet read.
struct Win32Records {
    OVERLAPPED readOverlapped;
    OVERLAPPED writeOverlapped;
    DWORD rxMask;
    DWORD aheadNext;
    DWORD aheadEnd;
    unsigned char ahead[READ_AHEAD_BYTES];
};
static_assert(sizeof(Win32Records) <= sizeof(SerialPort::platform), "records fit the opaque storage");
static_assert(alignof(Win32Records) <= 8, "opaque storage is 8-byte aligned");

Win32Records* records(SerialPort* port) {
    return reinterpret_cast<Win32Records*>(port->platform);
}

HANDLE deviceOf(const SerialPort* port) {
    return reinterpret_cast<HANDLE>(port->handle);
}

void closeIfSet(HANDLE* object) {
    if (*object != nullptr) CloseHandle(*object);
    *object = nullptr;
}

// Closes the events and the device; the ending of a failed open and of close.
void releasePort(SerialPort* port) {
    Win32Records* rec = records(port);
    HANDLE device = deviceOf(port);
    closeIfSet(&rec->readOverlapped.hEvent);
    closeIfSet(&rec->writeOverlapped.hEvent);
    closeIfSet(&device);
    rec->aheadNext = 0;
    rec->aheadEnd = 0;
    port->handle = 0;
}

// A fresh operation on `record`: its event stays, the rest starts from zero.
void rearm(OVERLAPPED* record) {
    HANDLE event = record->hEvent;
    std::memset(record, 0, sizeof *record);
    record->hEvent = event;
}

// Waits for an operation started on `record`. When it is still running after
// `waitMs`, it is cancelled and collected here, so the caller's buffer and the
// record are free again when this returns. Returns the bytes transferred, 0 on
// failure or time-out (unless the operation finished while being cancelled).
DWORD finishOperation(HANDLE device, OVERLAPPED* record, DWORD waitMs) {
    if (WaitForSingleObject(record->hEvent, waitMs) == WAIT_TIMEOUT) {
        CancelIo(device);
        DWORD late = 0;
        return GetOverlappedResult(device, record, &late, TRUE) ? late : 0;
    }
    DWORD transferred = 0;
    return GetOverlappedResult(device, record, &transferred, TRUE) ? transferred : 0;
}

// Sets the members the switch relies on and keeps every other one (parity,
// stop bits, RTS, the XON/XOFF limits) as the port had them.
bool applyRate(HANDLE device, unsigned baud, bool wholeLine) {
    DCB dcb;
    std::memset(&dcb, 0, sizeof dcb);
    dcb.DCBlength = sizeof dcb;
    // A state not read would be written back as zeros (XON equal to XOFF, no stop bits).
    if (!GetCommState(device, &dcb)) return false;
    dcb.BaudRate = baud;
    dcb.ByteSize = 8;
    if (wholeLine) {
        dcb.fOutX = 0;
        dcb.fInX = 0;
        dcb.fOutxCtsFlow = 0;
        dcb.fOutxDsrFlow = 0;
        dcb.fDtrControl = DTR_CONTROL_DISABLE;
    }
    return SetCommState(device, &dcb) != 0;
}

// The gap between bytes ends a read; no total bound, that is the caller's
// wait. Without them a read would wait for its whole count.
bool applyTimeouts(HANDLE device) {
    COMMTIMEOUTS timeouts;
    std::memset(&timeouts, 0, sizeof timeouts);
    timeouts.ReadIntervalTimeout = PORT_BYTE_GAP_MS;
    return SetCommTimeouts(device, &timeouts) != 0;
}

// Another program holding the port shows as access denied (or, for some
// drivers, a sharing violation); that is the one cause a user can act on.
int openFailureOf(DWORD error) {
    if (error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND) return PORT_OPEN_MISSING;
    if (error == ERROR_ACCESS_DENIED || error == ERROR_SHARING_VIOLATION) return PORT_OPEN_BUSY;
    return PORT_OPEN_FAILED;
}

HANDLE createManualResetEvent() {
    return CreateEventA(nullptr, TRUE, FALSE, nullptr);
}

int numberedPath(unsigned number, char* path, std::size_t size) {
    const int length = std::snprintf(path, size, "\\\\.\\COM%u", number);
    return length > 0 && static_cast<std::size_t>(length) < size ? 1 : 0;
}

int openPort(SerialPort* port, const char* path, unsigned baud) {
    HANDLE device = CreateFileA(path, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                                FILE_FLAG_OVERLAPPED | FILE_ATTRIBUTE_NORMAL, nullptr);
    if (device == nullptr || device == INVALID_HANDLE_VALUE) return openFailureOf(GetLastError());
    port->handle = reinterpret_cast<std::intptr_t>(device);
    Win32Records* rec = records(port);
    std::memset(rec, 0, sizeof *rec);
    rec->readOverlapped.hEvent = createManualResetEvent();
    rec->writeOverlapped.hEvent = createManualResetEvent();
    bool ready = applyTimeouts(device) && applyRate(device, baud, true) &&
                 SetupComm(device, QUEUE_BYTES, QUEUE_BYTES) && rec->readOverlapped.hEvent != nullptr &&
                 rec->writeOverlapped.hEvent != nullptr;
    if (!ready) {
        releasePort(port);
        return PORT_OPEN_FAILED;
    }
    return PORT_OPEN_OK;
}

int setBaud(SerialPort* port, unsigned baud) {
    return applyRate(deviceOf(port), baud, false) ? 1 : 0;
}

int setDtr(SerialPort* port, int raised) {
    DCB dcb;
    std::memset(&dcb, 0, sizeof dcb);
    dcb.DCBlength = sizeof dcb;
    if (!GetCommState(deviceOf(port), &dcb)) return 0;
    dcb.fDtrControl = raised != 0 ? DTR_CONTROL_ENABLE : DTR_CONTROL_DISABLE;
    return SetCommState(deviceOf(port), &dcb) ? 1 : 0;
}

int writeBytes(SerialPort* port, const void* bytes, std::int32_t count, unsigned waitMs) {
    HANDLE device = deviceOf(port);
    OVERLAPPED* record = &records(port)->writeOverlapped;
    rearm(record);
    if (!WriteFile(device, bytes, static_cast<DWORD>(count), nullptr, record) && GetLastError() != ERROR_IO_PENDING) {
        return 0;
    }
    return static_cast<int>(finishOperation(device, record, waitMs));
}

int drain(SerialPort* port) {
    return FlushFileBuffers(deviceOf(port)) ? 1 : 0;
}

DWORD aheadCount(const Win32Records* rec) {
    return rec->aheadEnd - rec->aheadNext;
}

// Bytes in the driver's receive queue; 0 on failure.
DWORD queuedBytes(HANDLE device) {
    DWORD errors = 0;
    COMSTAT status;
    std::memset(&status, 0, sizeof status);
    return ClearCommError(device, &errors, &status) ? status.cbInQue : 0;
}

// One overlapped ReadFile of up to `count` bytes into `buffer`.
DWORD readDevice(HANDLE device, OVERLAPPED* record, void* buffer, DWORD count, DWORD waitMs) {
    rearm(record);
    if (!ReadFile(device, buffer, count, nullptr, record) && GetLastError() != ERROR_IO_PENDING) return 0;
    return finishOperation(device, record, waitMs);
}

// Serves up to `count` read-ahead bytes; returns how many.
int takeAhead(Win32Records* rec, void* buffer, std::int32_t count) {
    DWORD taken = aheadCount(rec) < static_cast<DWORD>(count) ? aheadCount(rec) : static_cast<DWORD>(count);
    std::memcpy(buffer, rec->ahead + rec->aheadNext, taken);
    rec->aheadNext += taken;
    return static_cast<int>(taken);
}

int readBytes(SerialPort* port, void* buffer, std::int32_t count, unsigned firstByteMs) {
    HANDLE device = deviceOf(port);
    Win32Records* rec = records(port);
    if (aheadCount(rec) > 0) return takeAhead(rec, buffer, count);
    // Only bytes already queued are read ahead, so that read returns at once;
    // otherwise the caller's read waits for the line as it always did.
    DWORD queued = queuedBytes(device);
    if (queued <= static_cast<DWORD>(count)) {
        return static_cast<int>(
            readDevice(device, &rec->readOverlapped, buffer, static_cast<DWORD>(count), firstByteMs));
    }
    rec->aheadNext = 0;
    rec->aheadEnd = readDevice(device, &rec->readOverlapped, rec->ahead,
                               queued < READ_AHEAD_BYTES ? queued : READ_AHEAD_BYTES, firstByteMs);
    return takeAhead(rec, buffer, count);
}

int bytesWaiting(SerialPort* port) {
    return static_cast<int>(aheadCount(records(port)) + queuedBytes(deviceOf(port)));
}

int purgeInput(SerialPort* port) {
    Win32Records* rec = records(port);
    rec->aheadNext = 0;
    rec->aheadEnd = 0;
    return PurgeComm(deviceOf(port), PURGE_RXCLEAR) ? 1 : 0;
}

// Fallback when the driver has no receive events: poll the queue once per
// system tick. Windows' default tick is coarse (about 15 ms), hence not the
// first choice.
int pollInput(SerialPort* port, DWORD start, unsigned timeoutMs) {
    for (;;) {
        if (bytesWaiting(port) > 0) return 1;
        if (GetTickCount() - start >= timeoutMs) return 0;
        Sleep(1);
    }
}

// Sleeps on the driver's receive event rather than polling, so a byte wakes the
// caller at once. The read record is idle between calls (every read is
// collected before comRead returns), so the wait borrows it and its event.
int waitInput(SerialPort* port, unsigned timeoutMs) {
    HANDLE device = deviceOf(port);
    Win32Records* rec = records(port);
    if (aheadCount(rec) > 0) return 1;
    DWORD start = GetTickCount();
    // Arming the mask first means a byte that lands after the queue check
    // below still completes the wait at once.
    if (!SetCommMask(device, EV_RXCHAR)) return pollInput(port, start, timeoutMs);
    for (;;) {
        if (bytesWaiting(port) > 0) return 1;
        DWORD spent = GetTickCount() - start;
        if (spent >= timeoutMs) return 0;
        rearm(&rec->readOverlapped);
        rec->rxMask = 0;
        if (!WaitCommEvent(device, &rec->rxMask, &rec->readOverlapped)) {
            if (GetLastError() != ERROR_IO_PENDING) return pollInput(port, start, timeoutMs);
            DWORD unused = 0;
            if (WaitForSingleObject(rec->readOverlapped.hEvent, timeoutMs - spent) == WAIT_TIMEOUT) {
                CancelIo(device);
                GetOverlappedResult(device, &rec->readOverlapped, &unused, TRUE);
                return bytesWaiting(port) > 0 ? 1 : 0;
            }
            GetOverlappedResult(device, &rec->readOverlapped, &unused, TRUE);
        }
    }
}

constexpr PortOperations WIN32_SERIAL_PORT = {
    .numberedPath = numberedPath,
    .open = openPort,
    .close = releasePort,
    .read = readBytes,
    .write = writeBytes,
    .drain = drain,
    .purge = purgeInput,
    .setBaud = setBaud,
    .setDtr = setDtr,
    .bytesWaiting = bytesWaiting,
    .waitInput = waitInput,
};

}   // namespace

const PortOperations* platformSerialPort() {
    return &WIN32_SERIAL_PORT;
}
