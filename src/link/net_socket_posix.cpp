#include "link/net_socket.h"

#include <cerrno>
#include <cstring>

#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include "link/clock.h"
#include "link/net_lookup.h"
#include "link/serial.h"

namespace {

int pollOne(int fd, short events, std::uint32_t start, unsigned budget) {
    for (;;) {
        pollfd entry = {fd, events, 0};
        const int ready = poll(&entry, 1, msLeft(start, budget));
        if (ready > 0) return entry.revents;
        if (ready == 0) return 0;
        if (errno != EINTR) return -1;
    }
}

int failureOfError(int error) {
    if (error == ECONNREFUSED) return PORT_OPEN_REFUSED;
    if (error == ENETUNREACH || error == EHOSTUNREACH || error == ENETDOWN) return PORT_OPEN_UNREACHABLE;
    if (error == ETIMEDOUT) return PORT_OPEN_TIMED_OUT;
    return PORT_OPEN_FAILED;
}

void tune(int fd) {
    const int on = 1;
    (void)setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
    (void)setsockopt(fd, SOL_SOCKET, SO_KEEPALIVE, &on, sizeof on);
}

// One address; PORT_OPEN_OK with the socket in *fd.
int connectAddress(const addrinfo* address, std::uint32_t start, unsigned budget, int* fd) {
    *fd = socket(address->ai_family, address->ai_socktype | SOCK_NONBLOCK | SOCK_CLOEXEC, address->ai_protocol);
    if (*fd < 0) return PORT_OPEN_FAILED;
    int error = 0;
    if (connect(*fd, address->ai_addr, address->ai_addrlen) != 0) {
        error = errno;
        if (error == EINPROGRESS) {
            const int ready = pollOne(*fd, POLLOUT, start, budget);
            socklen_t length = sizeof error;
            if (ready <= 0)
                error = ETIMEDOUT;
            else if (getsockopt(*fd, SOL_SOCKET, SO_ERROR, &error, &length) != 0)
                error = errno;
        }
    }
    if (error == 0) return PORT_OPEN_OK;
    close(*fd);
    return failureOfError(error);
}

int lookUp(const char* host, const char* service, void** found) {
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = AI_NUMERICSERV;
    return getaddrinfo(host, service, &hints, reinterpret_cast<addrinfo**>(found));
}

void release(void* found) {
    freeaddrinfo(static_cast<addrinfo*>(found));
}

int failureOfLookup(int lookup) {
    if (lookup == LOOKUP_TIMED_OUT) return PORT_OPEN_TIMED_OUT;
    return lookup == EAI_NONAME || lookup == EAI_NODATA ? PORT_OPEN_NO_HOST : PORT_OPEN_FAILED;
}

}   // namespace

int netConnect(const char* host, const char* service, unsigned timeoutMs, std::intptr_t* socketOut) {
    const std::uint32_t start = msNow();
    void* lookedUp = nullptr;
    const int lookup = lookupWithin({lookUp, release}, host, service, timeoutMs, &lookedUp);
    if (lookup != 0) return failureOfLookup(lookup);
    auto* found = static_cast<addrinfo*>(lookedUp);
    int result = PORT_OPEN_FAILED;
    for (const addrinfo* address = found; address != nullptr && msLeft(start, timeoutMs) > 0;
         address = address->ai_next) {
        int fd = -1;
        result = connectAddress(address, start, timeoutMs, &fd);
        if (result == PORT_OPEN_OK) {
            tune(fd);
            *socketOut = fd;
            break;
        }
    }
    if (msLeft(start, timeoutMs) == 0 && result != PORT_OPEN_OK) result = PORT_OPEN_TIMED_OUT;
    freeaddrinfo(found);
    return result;
}

void netClose(std::intptr_t socket) {
    (void)close(static_cast<int>(socket));
}

int netReceive(std::intptr_t socket, unsigned char* buffer, int count) {
    for (;;) {
        const ssize_t got = recv(static_cast<int>(socket), buffer, static_cast<std::size_t>(count), 0);
        if (got > 0) return static_cast<int>(got);
        if (got == 0) return -1;
        if (errno == EAGAIN || errno == EWOULDBLOCK) return 0;
        if (errno != EINTR) return -1;
    }
}

int netSend(std::intptr_t socket, const unsigned char* bytes, int count) {
    for (;;) {
        const ssize_t put = send(static_cast<int>(socket), bytes, static_cast<std::size_t>(count), MSG_NOSIGNAL);
        if (put >= 0) return static_cast<int>(put);
        if (errno == EAGAIN || errno == EWOULDBLOCK) return 0;
        if (errno != EINTR) return -1;
    }
}

int netWait(std::intptr_t socket, bool forWrite, unsigned timeoutMs) {
    const int ready = pollOne(static_cast<int>(socket), forWrite ? POLLOUT : POLLIN, msNow(), timeoutMs);
    return ready < 0 ? -1 : (ready > 0 ? 1 : 0);
}
