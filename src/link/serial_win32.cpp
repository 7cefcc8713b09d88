// The serial port on Windows: one COM device opened for overlapped I/O, with
// a read and a write OVERLAPPED record, each with its own manual-reset event.
// Reads smaller than what the driver holds take all of it into a read-ahead
// buffer: the protocol reads lines a byte at a time, and one ReadFile per byte
// is slow where each call is a round trip (Wine sends each through its server).
#include "link/serial.h"

#include <windows.h>

#include <cstdio>
#include <cstring>

#include "link/serial_common.h"

namespace {

constexpr DWORD IO_WAIT_MS = 1000;
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

// Closes the events and the device and marks the port closed; the common
// ending of a failed open, a failed rate change and comClose.
void releasePort(SerialPort* port) {
    Win32Records* rec = records(port);
    HANDLE device = deviceOf(port);
    closeIfSet(&rec->readOverlapped.hEvent);
    closeIfSet(&rec->writeOverlapped.hEvent);
    closeIfSet(&device);
    rec->aheadNext = 0;
    rec->aheadEnd = 0;
    port->handle = 0;
    port->isOpen = 0;
    port->baud = 0;
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
DWORD finishOperation(HANDLE device, OVERLAPPED* record, DWORD waitMs, bool flushFirst) {
    if (WaitForSingleObject(record->hEvent, waitMs) == WAIT_TIMEOUT) {
        CancelIo(device);
        DWORD late = 0;
        return GetOverlappedResult(device, record, &late, TRUE) ? late : 0;
    }
    if (flushFirst) FlushFileBuffers(device);
    DWORD transferred = 0;
    return GetOverlappedResult(device, record, &transferred, TRUE) ? transferred : 0;
}

// Sets the members the switch relies on and keeps every other one (parity,
// stop bits, RTS, the XON/XOFF limits) as the port had them.
bool applyRate(HANDLE device, unsigned baud, bool wholeLine) {
    DCB dcb;
    std::memset(&dcb, 0, sizeof dcb);
    dcb.DCBlength = sizeof dcb;
    GetCommState(device, &dcb);
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

// 10 ms between bytes ends a read; no total bound, that is the 1000 ms wait.
void applyTimeouts(HANDLE device) {
    COMMTIMEOUTS timeouts;
    std::memset(&timeouts, 0, sizeof timeouts);
    timeouts.ReadIntervalTimeout = 10;
    SetCommTimeouts(device, &timeouts);
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

}   // namespace

int comOpen(SerialPort* port, unsigned portNumber, unsigned baud) {
    if (port == nullptr) return 0;
    if (port->isOpen != 0) {
        std::printf("Com%d already open!\n", static_cast<int>(portNumber));
        return 1;
    }
    char path[24];
    std::snprintf(path, sizeof path, "\\\\.\\COM%u", portNumber);
    return comOpenDevice(port, path, baud);
}

int comOpenDevice(SerialPort* port, const char* path, unsigned baud) {
    if (port->isOpen != 0) {
        std::printf("%s already open!\n", path);
        return 1;
    }
    HANDLE device = CreateFileA(path, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                                FILE_FLAG_OVERLAPPED | FILE_ATTRIBUTE_NORMAL, nullptr);
    if (device == nullptr || device == INVALID_HANDLE_VALUE) {
        port->openFailure = openFailureOf(GetLastError());
        return 0;
    }
    port->openFailure = PORT_OPEN_FAILED;

    port->handle = reinterpret_cast<std::intptr_t>(device);
    port->isOpen = 1;
    Win32Records* rec = records(port);
    std::memset(rec, 0, sizeof *rec);
    applyTimeouts(device);
    rec->readOverlapped.hEvent = createManualResetEvent();
    rec->writeOverlapped.hEvent = createManualResetEvent();

    bool ready = applyRate(device, baud, true) && SetupComm(device, QUEUE_BYTES, QUEUE_BYTES) &&
                 rec->readOverlapped.hEvent != nullptr && rec->writeOverlapped.hEvent != nullptr;
    if (!ready) {
        releasePort(port);
        return 0;
    }
    port->baud = baud;
    port->openFailure = PORT_OPEN_OK;
    return port->isOpen;
}

int comSetBaud(SerialPort* port, unsigned baud) {
    if (!serialPortUsable(port)) return 0;
    if (applyRate(deviceOf(port), baud, false)) {
        port->baud = baud;
        return 1;
    }
    releasePort(port);
    return 0;
}

int comClose(SerialPort* port) {
    if (port == nullptr) return 1;
    if (port->isOpen != 0) releasePort(port);
    records(port)->readOverlapped.hEvent = nullptr;
    records(port)->writeOverlapped.hEvent = nullptr;
    port->handle = 0;
    port->isOpen = 0;
    port->baud = 0;
    return 1;
}

int comWrite(SerialPort* port, const void* bytes, std::int32_t count) {
    if (!serialTransferValid(port, bytes, count)) return 0;
    HANDLE device = deviceOf(port);
    OVERLAPPED* record = &records(port)->writeOverlapped;
    rearm(record);
    if (!WriteFile(device, bytes, static_cast<DWORD>(count), nullptr, record) && GetLastError() != ERROR_IO_PENDING) {
        return 0;
    }
    return static_cast<int>(finishOperation(device, record, IO_WAIT_MS, true));
}

namespace {

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
DWORD readDevice(HANDLE device, OVERLAPPED* record, void* buffer, DWORD count) {
    rearm(record);
    if (!ReadFile(device, buffer, count, nullptr, record) && GetLastError() != ERROR_IO_PENDING) return 0;
    return finishOperation(device, record, IO_WAIT_MS, false);
}

// Serves up to `count` read-ahead bytes; returns how many.
int takeAhead(Win32Records* rec, void* buffer, std::int32_t count) {
    DWORD taken = aheadCount(rec) < static_cast<DWORD>(count) ? aheadCount(rec) : static_cast<DWORD>(count);
    std::memcpy(buffer, rec->ahead + rec->aheadNext, taken);
    rec->aheadNext += taken;
    return static_cast<int>(taken);
}

}   // namespace

int comRead(SerialPort* port, void* buffer, std::int32_t count) {
    if (!serialTransferValid(port, buffer, count)) return 0;
    HANDLE device = deviceOf(port);
    Win32Records* rec = records(port);
    if (aheadCount(rec) > 0) return takeAhead(rec, buffer, count);
    // Only bytes already queued are read ahead, so that read returns at once;
    // otherwise the caller's read waits for the line as it always did.
    DWORD queued = queuedBytes(device);
    if (queued <= static_cast<DWORD>(count)) {
        return static_cast<int>(readDevice(device, &rec->readOverlapped, buffer, static_cast<DWORD>(count)));
    }
    rec->aheadNext = 0;
    rec->aheadEnd = readDevice(device, &rec->readOverlapped, rec->ahead,
                               queued < READ_AHEAD_BYTES ? queued : READ_AHEAD_BYTES);
    return takeAhead(rec, buffer, count);
}

int comBytesWaiting(SerialPort* port) {
    if (!serialPortUsable(port)) return 0;
    return static_cast<int>(aheadCount(records(port)) + queuedBytes(deviceOf(port)));
}

namespace {

// Fallback when the driver has no receive events: poll the queue once per
// system tick. Windows' default tick is coarse (about 15 ms), hence not the
// first choice.
int pollInput(SerialPort* port, DWORD start, unsigned timeoutMs) {
    for (;;) {
        if (comBytesWaiting(port) > 0) return 1;
        if (GetTickCount() - start >= timeoutMs) return 0;
        Sleep(1);
    }
}

}   // namespace

// Sleeps on the driver's receive event rather than polling, so a byte wakes the
// caller at once. The read record is idle between calls (every read is
// collected before comRead returns), so the wait borrows it and its event.
int comWaitInput(SerialPort* port, unsigned timeoutMs) {
    if (!serialPortUsable(port)) return 0;
    HANDLE device = deviceOf(port);
    Win32Records* rec = records(port);
    if (aheadCount(rec) > 0) return 1;
    DWORD start = GetTickCount();
    // Arming the mask first means a byte that lands after the queue check
    // below still completes the wait at once.
    if (!SetCommMask(device, EV_RXCHAR)) return pollInput(port, start, timeoutMs);
    for (;;) {
        if (comBytesWaiting(port) > 0) return 1;
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
                return comBytesWaiting(port) > 0 ? 1 : 0;
            }
            GetOverlappedResult(device, &rec->readOverlapped, &unused, TRUE);
        }
    }
}
