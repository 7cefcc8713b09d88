// The few socket calls the network port needs, one implementation per
// platform (net_socket_posix.cpp, net_socket_win32.cpp). Private to src/link.
// A socket is kept as an intptr_t so that callers stay free of platform headers.
#pragma once
#include <cstdint>

// Connects to `host` at `service` (a port number), trying each address of
// the name in turn until `timeoutMs` have passed in all. Returns PORT_OPEN_OK
// with a non-blocking socket in *socket (no Nagle delay, keep-alive on), or
// why it failed (a PORT_OPEN_ code); on failure nothing is held.
int netConnect(const char* host, const char* service, unsigned timeoutMs, std::intptr_t* socket);
void netClose(std::intptr_t socket);
// Takes what is waiting, at most `count` bytes, without waiting. Returns the
// count, 0 when nothing is waiting, -1 when the connection closed or failed.
int netReceive(std::intptr_t socket, unsigned char* buffer, int count);
// Sends what the socket takes now, without waiting. Returns the count sent
// (0 when it takes nothing now), -1 when the connection failed.
int netSend(std::intptr_t socket, const unsigned char* bytes, int count);
// Waits at most `timeoutMs` until the socket can be read (or written, with
// `forWrite`). 1 ready (a closed connection counts: the next call tells), 0 time-out, -1 failure.
int netWait(std::intptr_t socket, bool forWrite, unsigned timeoutMs);
