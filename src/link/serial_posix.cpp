#include "link/serial.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstring>

#include <fcntl.h>
#include <linux/serial.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include "link/clock.h"
#include "link/device_path_posix.h"

namespace {

constexpr int FIRST_NON_STANDARD_FD = 3;

struct BaudRate {
    unsigned rate;
    speed_t code;
};

constexpr BaudRate BAUD_RATES[] = {
    {9600, B9600}, {19200, B19200}, {38400, B38400}, {57600, B57600}, {115200, B115200}, {230400, B230400},
};

int baudCode(unsigned baud, speed_t* code) {
    for (const BaudRate& entry : BAUD_RATES) {
        if (entry.rate == baud) {
            *code = entry.code;
            return 1;
        }
    }
    return 0;
}

int portFd(const SerialPort* port) {
    return static_cast<int>(port->handle);
}

// poll() on one descriptor, restarted after signals. Returns poll's revents,
// 0 on time-out, -1 on failure.
int pollFd(int fd, short events, std::uint32_t start, std::uint32_t budget) {
    for (;;) {
        pollfd entry = {fd, events, 0};
        int ready = poll(&entry, 1, msLeft(start, budget));
        if (ready > 0) return entry.revents;
        if (ready == 0) return 0;
        if (errno != EINTR) return -1;
    }
}

void closeFd(int fd) {
    // The descriptor is released even when close reports EINTR, so it is not retried.
    (void)close(fd);
}

// Keeps the port off descriptors 0-2: a port there would receive the
// console's output once a standard stream is closed.
int moveAboveStandardStreams(int fd) {
    if (fd >= FIRST_NON_STANDARD_FD) return fd;
    int moved = fcntl(fd, F_DUPFD_CLOEXEC, FIRST_NON_STANDARD_FD);
    closeFd(fd);
    return moved;
}

int openFailureOf(int error) {
    if (error == ENOENT || error == ENXIO || error == ENODEV || error == ENOTDIR) return PORT_OPEN_MISSING;
    if (error == EACCES || error == EPERM) return PORT_OPEN_DENIED;
    return error == EBUSY ? PORT_OPEN_BUSY : PORT_OPEN_FAILED;
}

// errno stays that of the failed open.
int openDevice(const char* path) {
    int fd;
    do {
        fd = open(path, O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    } while (fd < 0 && errno == EINTR);
    return fd < 0 ? -1 : moveAboveStandardStreams(fd);
}

// The advisory lock stops a second bmfwu; TIOCEXCL stops other programs that
// do not take the lock (privileged processes may still pass it). Only a lock
// held elsewhere means busy: a device that refuses TIOCEXCL is no terminal.
int claimExclusively(int fd) {
    int locked;
    do {
        locked = flock(fd, LOCK_EX | LOCK_NB);
    } while (locked != 0 && errno == EINTR);
    if (locked != 0) return errno == EWOULDBLOCK ? PORT_OPEN_BUSY : PORT_OPEN_FAILED;
    return ioctl(fd, TIOCEXCL) == 0 ? PORT_OPEN_OK : PORT_OPEN_FAILED;
}

// Raw 8-bit transfer without flow control; parity and stop bits stay as the
// port had them.
void makeRaw(termios* settings) {
    settings->c_iflag &= ~static_cast<tcflag_t>(IGNBRK | BRKINT | PARMRK | ISTRIP | INLCR | IGNCR | ICRNL | IXON |
                                                IXOFF | IXANY);
    settings->c_oflag &= ~static_cast<tcflag_t>(OPOST);
    settings->c_lflag &= ~static_cast<tcflag_t>(ECHO | ECHONL | ICANON | ISIG | IEXTEN);
    settings->c_cflag &= ~static_cast<tcflag_t>(CSIZE | CRTSCTS);
    settings->c_cflag |= CS8 | CREAD | CLOCAL;
    settings->c_cc[VMIN] = 1;
    settings->c_cc[VTIME] = 0;
}

// tcsetattr succeeds when any one change took, so the rate is read back.
int applySettings(int fd, termios* settings, speed_t code) {
    if (cfsetispeed(settings, code) != 0 || cfsetospeed(settings, code) != 0) return 0;
    if (tcsetattr(fd, TCSANOW, settings) != 0) return 0;
    termios applied;
    if (tcgetattr(fd, &applied) != 0) return 0;
    return cfgetospeed(&applied) == code && (applied.c_cflag & CSIZE) == CS8 ? 1 : 0;
}

int configurePort(int fd, speed_t code) {
    termios settings;
    if (tcgetattr(fd, &settings) != 0) return 0;
    makeRaw(&settings);
    return applySettings(fd, &settings, code);
}

// A USB-serial adapter otherwise holds each answer until its latency timer
// ticks (16 ms by default), and the lockstep protocol waits for every answer.
// FTDI-style drivers shorten the timer to 1 ms in low-latency mode. A driver
// or pseudo-terminal that refuses leaves the port as it was, which still works.
void requestLowLatency(int fd) {
    serial_struct serial;
    if (ioctl(fd, TIOCGSERIAL, &serial) != 0 || (serial.flags & ASYNC_LOW_LATENCY) != 0) return;
    serial.flags |= ASYNC_LOW_LATENCY;
    (void)ioctl(fd, TIOCSSERIAL, &serial);
}

void releaseFd(int fd) {
    (void)ioctl(fd, TIOCNXCL);   // the lock goes with the descriptor; the flag must be cleared
    closeFd(fd);
}

// Drops output that did not leave within the bound, so the next write starts clean.
int abandonWrite(int fd) {
    (void)tcflush(fd, TCOFLUSH);
    return 0;
}

// Bytes taken from the driver ahead of a small read. Lines are read a byte at
// a time, and with the bootloader's echo on that is some 200,000 bytes a pass:
// one read() for what is waiting saves a poll() and a read() per byte.
struct ReadAhead {
    unsigned char bytes[256];
    std::uint16_t next;
    std::uint16_t end;
};
static_assert(sizeof(ReadAhead) <= sizeof(SerialPort::platform), "the read-ahead fits the opaque storage");

ReadAhead* readAhead(SerialPort* port) {
    return reinterpret_cast<ReadAhead*>(port->platform);
}

int driverWaiting(int fd) {
    int waiting = 0;
    if (ioctl(fd, FIONREAD, &waiting) != 0 || waiting < 0) return 0;
    return waiting;
}

// One read(); returns the count, 0 when nothing was waiting, -1 at hang-up or failure.
int readAvailable(int fd, unsigned char* buffer, std::int32_t count) {
    for (;;) {
        ssize_t got = read(fd, buffer, static_cast<std::size_t>(count));
        if (got > 0) return static_cast<int>(got);
        if (got == 0) return -1;
        if (errno == EAGAIN || errno == EWOULDBLOCK) return 0;
        if (errno != EINTR) return -1;
    }
}

// Serves up to `count` bytes from the read-ahead, first taking whatever the
// driver holds when it is empty. Never waits.
std::int32_t takeAhead(SerialPort* port, unsigned char* bytes, std::int32_t count) {
    ReadAhead* ahead = readAhead(port);
    if (ahead->next == ahead->end) {
        const int got = readAvailable(portFd(port), ahead->bytes, static_cast<std::int32_t>(sizeof ahead->bytes));
        ahead->next = 0;
        ahead->end = static_cast<std::uint16_t>(got > 0 ? got : 0);
    }
    const std::int32_t served = std::min<std::int32_t>(count, ahead->end - ahead->next);
    std::memcpy(bytes, ahead->bytes + ahead->next, static_cast<std::size_t>(served));
    ahead->next = static_cast<std::uint16_t>(ahead->next + served);
    return served;
}

int openPort(SerialPort* port, const char* path, unsigned baud) {
    speed_t code;
    if (baudCode(baud, &code) == 0) return PORT_OPEN_FAILED;
    int fd = openDevice(path);
    if (fd < 0) return openFailureOf(errno);
    const int claimed = claimExclusively(fd);
    if (claimed != PORT_OPEN_OK) {
        closeFd(fd);   // the exclusive flag may belong to whoever holds the port
        return claimed;
    }
    if (configurePort(fd, code) == 0) {
        releaseFd(fd);
        return PORT_OPEN_FAILED;
    }
    requestLowLatency(fd);
    std::memset(port->platform, 0, sizeof port->platform);
    port->handle = fd;
    return PORT_OPEN_OK;
}

void closePort(SerialPort* port) {
    releaseFd(portFd(port));
    port->handle = 0;
    std::memset(port->platform, 0, sizeof port->platform);
}

int setBaud(SerialPort* port, unsigned baud) {
    termios settings;
    speed_t code;
    if (baudCode(baud, &code) == 0 || tcgetattr(portFd(port), &settings) != 0) return 0;
    settings.c_cflag = (settings.c_cflag & ~static_cast<tcflag_t>(CSIZE)) | CS8;
    return applySettings(portFd(port), &settings, code);
}

// A pseudo-terminal has no modem lines; only a real failure counts there.
int setDtr(SerialPort* port, int raised) {
    int lines = TIOCM_DTR;
    if (ioctl(portFd(port), raised != 0 ? TIOCMBIS : TIOCMBIC, &lines) == 0) return 1;
    return errno == ENOTTY || errno == EINVAL ? 1 : 0;
}

int purgeInput(SerialPort* port) {
    ReadAhead* ahead = readAhead(port);
    ahead->next = 0;
    ahead->end = 0;
    return tcflush(portFd(port), TCIFLUSH) == 0 ? 1 : 0;
}

int drain(SerialPort* port) {
    while (tcdrain(portFd(port)) != 0) {
        if (errno != EINTR) return 0;
    }
    return 1;
}

int writeBytes(SerialPort* port, const void* bytes, std::int32_t count, unsigned waitMs) {
    int fd = portFd(port);
    const auto* next = static_cast<const unsigned char*>(bytes);
    std::int32_t left = count;
    std::uint32_t start = msNow();
    while (left > 0) {
        ssize_t put = write(fd, next, static_cast<std::size_t>(left));
        if (put > 0) {
            next += put;
            left -= static_cast<std::int32_t>(put);
            continue;
        }
        if (put < 0 && errno == EINTR) continue;
        if (put < 0 && errno != EAGAIN && errno != EWOULDBLOCK) return abandonWrite(fd);
        int ready = pollFd(fd, POLLOUT, start, waitMs);
        if (ready <= 0 || (ready & (POLLERR | POLLHUP | POLLNVAL)) != 0) return abandonWrite(fd);
    }
    return count;
}

int bytesWaiting(SerialPort* port) {
    const ReadAhead* ahead = readAhead(port);
    return ahead->end - ahead->next + driverWaiting(portFd(port));
}

// Takes bytes until `count` or a gap of more than PORT_BYTE_GAP_MS. Bytes
// already taken are returned even when the line fails or the wait runs out
// while they keep coming, so none are lost.
int readBytes(SerialPort* port, void* buffer, std::int32_t count, unsigned firstByteMs) {
    int fd = portFd(port);
    auto* bytes = static_cast<unsigned char*>(buffer);
    std::int32_t got = takeAhead(port, bytes, count);
    std::uint32_t start = msNow();
    while (got < count) {
        std::uint32_t waitStart = got == 0 ? start : msNow();
        // msNow truncates, so one tick more guarantees a whole gap.
        std::uint32_t budget = got == 0 ? firstByteMs : PORT_BYTE_GAP_MS + 1;
        if (got > 0 && msLeft(start, firstByteMs) == 0) break;
        if (pollFd(fd, POLLIN, waitStart, budget) <= 0) break;
        int taken = readAvailable(fd, bytes + got, count - got);
        if (taken < 0) break;
        got += taken;
    }
    return got;
}

int waitInput(SerialPort* port, unsigned timeoutMs) {
    if (readAhead(port)->next != readAhead(port)->end) return 1;
    std::uint32_t budget = timeoutMs > INT_MAX ? INT_MAX : timeoutMs;
    int ready = pollFd(portFd(port), POLLIN, msNow(), budget);
    // A hung-up line also reports POLLIN; only real bytes count.
    if (ready > 0 && (ready & POLLIN) != 0 && bytesWaiting(port) > 0) return 1;
    return ready > 0 && (ready & (POLLHUP | POLLERR)) != 0 ? PORT_LOST : 0;
}

constexpr PortOperations POSIX_SERIAL_PORT = {
    .numberedPath = comDevicePath,
    .open = openPort,
    .close = closePort,
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
    return &POSIX_SERIAL_PORT;
}
