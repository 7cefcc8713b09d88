// Reading the switch's answers line by line, and finding out what listens on
// the open port: the ROM bootloader, the switch application, or nothing.
// Everything here works on one port's link.
#pragma once
#include <cstdint>

#include "isp/link.h"

constexpr unsigned LINE_TIMEOUT_MS = 500;   // budget of one whole line, from the start of the call
constexpr int SYNC_ATTEMPTS = 4;            // nxpSync tries 115200 and 19200 twice each

// When an answer must have come: fixed once, as the answer is awaited, and
// handed to every line read for it, so a peer that keeps sending line ends
// cannot hold a read beyond it.
struct Deadline {
    std::uint32_t start;   // msNow() when the answer was awaited
    unsigned budgetMs;
};
Deadline deadlineIn(unsigned ms);   // from now

// Reads one line into `buffer` (caller-owned, `capacity` bytes). Only bytes
// 0x20..0x7F are stored, others are dropped without ending the line; any
// character of `terminators` ends it and is not stored; bytes after it stay
// queued. Returns the characters stored (0..capacity-1, NUL-terminated), or -1
// when no terminator came within LINE_TIMEOUT_MS or capacity printable
// characters filled the buffer; the buffer then holds an empty string (and
// is left untouched when capacity < 1).
int readLine(SwitchLink& link, char* buffer, int capacity, const char* terminators);
int readLineCr(SwitchLink& link, char* buffer, int capacity);       // terminator "\r": every ISP reply
int readLineDollar(SwitchLink& link, char* buffer, int capacity);   // terminator "$": the application's replies
int readLineCr(SwitchLink& link, char* buffer, int capacity, Deadline deadline);   // by the answer's deadline
// Every line read is traced on the support log, but for the UU data lines read
// here: the caller traces a summary of them instead.
int readDataLineCr(SwitchLink& link, char* buffer, int capacity, Deadline deadline);
// Reads the bootloader's echo of a line as the bytes came, up to CR or LF
// (either may have been damaged, and the bootloader ends a line at either);
// empty lines are skipped, all of them within the one deadline. Only the
// bootloader's XON/XOFF (DC1, DC3), which may stand anywhere in an echo, are
// dropped, so the text may hold NUL bytes: use the count. Returns the bytes
// stored, or -1 as readLine (by the deadline; LINE_TIMEOUT_MS from the call
// without one). Not traced.
int readEchoLine(SwitchLink& link, char* buffer, int capacity, Deadline deadline);
int readEchoLine(SwitchLink& link, char* buffer, int capacity);

// True once another thread asked the link to stop (link.stop): nothing more
// is sent, and no answer is waited for.
bool linkStopped(const SwitchLink& link);

// Sends a NUL-terminated text as it stands and traces it. The result of
// comSendString; 0 without sending once the link is stopped.
int sendText(SwitchLink& link, const char* text);

// Discards every byte already received.
void drainInput(SwitchLink& link);

constexpr unsigned BITS_PER_CHARACTER = 10;   // start bit, 8 data bits, stop bit

// How long `characters` take on the wire at the port's rate, in ms (0 when no
// port is open).
unsigned wireMs(SwitchLink& link, unsigned characters);

enum SyncResult : int {
    SYNC_NONE = 0,          // nothing usable answered
    SYNC_BOOTLOADER = 1,    // the ROM bootloader answered and is now synchronised with echo off
    SYNC_APPLICATION = 2,   // the switch application answered
};

// Tries up to SYNC_ATTEMPTS times, alternating between 115200 and 19200 baud
// and starting with the rate the port is not at. Returns a SYNC_ result. The
// port stays at the rate of the last attempt.
SyncResult nxpSync(SwitchLink& link);
