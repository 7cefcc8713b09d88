#include "link/net_socket.h"

#include <winsock2.h>
#include <ws2tcpip.h>

#include "link/clock.h"
#include "link/net_lookup.h"
#include "link/serial.h"

// Winsock counts its users: each socket holds one start-up, released with it.
namespace {

int pollOne(SOCKET socket, short events, std::uint32_t start, unsigned budget) {
    WSAPOLLFD entry = {socket, events, 0};
    const int ready = WSAPoll(&entry, 1, msLeft(start, budget));
    if (ready > 0) return entry.revents;
    return ready == 0 ? 0 : -1;
}

int failureOfError(int error) {
    if (error == WSAECONNREFUSED) return PORT_OPEN_REFUSED;
    if (error == WSAENETUNREACH || error == WSAEHOSTUNREACH || error == WSAENETDOWN) return PORT_OPEN_UNREACHABLE;
    if (error == WSAETIMEDOUT) return PORT_OPEN_TIMED_OUT;
    return PORT_OPEN_FAILED;
}

void tune(SOCKET socket) {
    const BOOL on = TRUE;
    (void)setsockopt(socket, IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char*>(&on), sizeof on);
    (void)setsockopt(socket, SOL_SOCKET, SO_KEEPALIVE, reinterpret_cast<const char*>(&on), sizeof on);
}

int connectAddress(const addrinfo* address, std::uint32_t start, unsigned budget, SOCKET* out) {
    SOCKET socket = ::socket(address->ai_family, address->ai_socktype, address->ai_protocol);
    if (socket == INVALID_SOCKET) return PORT_OPEN_FAILED;
    u_long nonBlocking = 1;
    int error = ioctlsocket(socket, FIONBIO, &nonBlocking) != 0 ? WSAGetLastError() : 0;
    if (error == 0 && connect(socket, address->ai_addr, static_cast<int>(address->ai_addrlen)) != 0) {
        error = WSAGetLastError();
        if (error == WSAEWOULDBLOCK) {
            const int ready = pollOne(socket, POLLWRNORM, start, budget);
            int length = sizeof error;
            if (ready == 0)
                error = WSAETIMEDOUT;
            else if (getsockopt(socket, SOL_SOCKET, SO_ERROR, reinterpret_cast<char*>(&error), &length) != 0)
                error = WSAGetLastError();
        }
    }
    if (error == 0) {
        *out = socket;
        return PORT_OPEN_OK;
    }
    closesocket(socket);
    return failureOfError(error);
}

int connectFound(const addrinfo* found, std::uint32_t start, unsigned timeoutMs, std::intptr_t* socketOut) {
    int result = PORT_OPEN_FAILED;
    for (const addrinfo* address = found; address != nullptr && msLeft(start, timeoutMs) > 0;
         address = address->ai_next) {
        SOCKET socket = INVALID_SOCKET;
        result = connectAddress(address, start, timeoutMs, &socket);
        if (result == PORT_OPEN_OK) {
            tune(socket);
            *socketOut = static_cast<std::intptr_t>(socket);
            return result;
        }
    }
    return msLeft(start, timeoutMs) == 0 ? PORT_OPEN_TIMED_OUT : result;
}

int lookUp(const char* host, const char* service, void** found) {
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_protocol = IPPROTO_TCP;
    return getaddrinfo(host, service, &hints, reinterpret_cast<addrinfo**>(found));
}

void release(void* found) {
    freeaddrinfo(static_cast<addrinfo*>(found));
}

int failureOfLookup(int lookup) {
    return lookup == WSAHOST_NOT_FOUND || lookup == WSANO_DATA ? PORT_OPEN_NO_HOST : PORT_OPEN_FAILED;
}

}   // namespace

int netConnect(const char* host, const char* service, unsigned timeoutMs, std::intptr_t* socketOut) {
    const std::uint32_t start = msNow();
    WSADATA data;
    if (WSAStartup(MAKEWORD(2, 2), &data) != 0) return PORT_OPEN_FAILED;
    void* found = nullptr;
    const int lookup = lookupWithin({lookUp, release}, host, service, timeoutMs, &found);
    // A lookup given up on may still be running: Winsock stays started for it.
    if (lookup == LOOKUP_TIMED_OUT) return PORT_OPEN_TIMED_OUT;
    int result = failureOfLookup(lookup);
    if (lookup == 0) {
        result = connectFound(static_cast<const addrinfo*>(found), start, timeoutMs, socketOut);
        release(found);
    }
    if (result != PORT_OPEN_OK) WSACleanup();
    return result;
}

void netClose(std::intptr_t socket) {
    closesocket(static_cast<SOCKET>(socket));
    WSACleanup();
}

int netReceive(std::intptr_t socket, unsigned char* buffer, int count) {
    const int got = recv(static_cast<SOCKET>(socket), reinterpret_cast<char*>(buffer), count, 0);
    if (got > 0) return got;
    if (got == 0) return -1;
    return WSAGetLastError() == WSAEWOULDBLOCK ? 0 : -1;
}

int netSend(std::intptr_t socket, const unsigned char* bytes, int count) {
    const int put = send(static_cast<SOCKET>(socket), reinterpret_cast<const char*>(bytes), count, 0);
    if (put >= 0) return put;
    return WSAGetLastError() == WSAEWOULDBLOCK ? 0 : -1;
}

int netWait(std::intptr_t socket, bool forWrite, unsigned timeoutMs) {
    const int ready = pollOne(static_cast<SOCKET>(socket), forWrite ? POLLWRNORM : POLLRDNORM, msNow(), timeoutMs);
    return ready < 0 ? -1 : (ready > 0 ? 1 : 0);
}
