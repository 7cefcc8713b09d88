#include <cstring>

#include "isp/client.h"
#include "isp/isp.h"
#include "isp/line.h"
#include "link/clock.h"
#include "link/serial.h"

namespace {

constexpr int SYNC_REPLY_CAPACITY = 20;
constexpr unsigned SYNC_GAP_MS = 10;
constexpr int ECHO_OFF_ASKS = 3;   // "A 0" may go again harmlessly

bool lineIs(const char* line, int length, const char* expected) {
    return length == static_cast<int>(std::strlen(expected)) && std::strcmp(line, expected) == 0;
}

// The handshake's fixed texts, one character of which the line may have
// damaged on its way back: the bootloader still said them, and what follows
// them confirms it.
bool lineResembles(const char* line, int length, const char* expected) {
    if (length != static_cast<int>(std::strlen(expected))) return false;
    int differing = 0;
    for (int i = 0; i < length; ++i) differing += line[i] != expected[i] ? 1 : 0;
    return differing <= 1;
}

// Switches to the rate the port is not at and returns the probe character of
// that rate: the bootloader's autobaud '?' at 115200, '*' at 19200.
char switchRate(SwitchLink& link) {
    unsigned baud = link.port.baud == APPLICATION_BAUD ? BOOTLOADER_BAUD : APPLICATION_BAUD;
    comSetBaud(&link.port, baud);   // a failure closes the port; every read then times out
    return baud == BOOTLOADER_BAUD ? '?' : '*';
}

void sendProbe(SwitchLink& link, char probe) {
    const char probeText[] = {probe, '\0'};
    sendText(link, "\x1B");   // ESC aborts whatever the bootloader was receiving
    msDelay(SYNC_GAP_MS);
    sendText(link, "^P$");
    msDelay(SYNC_GAP_MS);
    sendText(link, probeText);
    msDelay(SYNC_GAP_MS);
    sendText(link, "\r");
}

// "A 0": the bootloader answers "0", possibly after echoing the command.
// An answer spoilt on its way back (not a code) asks again.
SyncResult echoOff(SwitchLink& link, char* reply) {
    int length = -1;
    for (int ask = 0; ask < ECHO_OFF_ASKS; ++ask) {
        if (ask != 0) drainInput(link);
        sendText(link, "A 0\r");
        length = readLineCr(link, reply, SYNC_REPLY_CAPACITY);
        if (length == 3) length = readLineCr(link, reply, SYNC_REPLY_CAPACITY);
        if (length < 1 || digitsOnly(reply, length)) break;
    }
    return lineIs(reply, length, "0") ? SYNC_BOOTLOADER : SYNC_NONE;
}

// The bootloader answered the autobaud character: confirm, give it the
// oscillator step, then turn its echo off. Its echoes are read and skipped.
SyncResult handshake(SwitchLink& link, char* reply) {
    sendText(link, "Synchronized\r\n");
    if (readLineCr(link, reply, SYNC_REPLY_CAPACITY) == 0) readLineCr(link, reply, SYNC_REPLY_CAPACITY);
    if (!lineResembles(reply, readLineCr(link, reply, SYNC_REPLY_CAPACITY), "OK")) return SYNC_NONE;
    sendText(link, "O\r");
    readLineCr(link, reply, SYNC_REPLY_CAPACITY);
    if (!lineResembles(reply, readLineCr(link, reply, SYNC_REPLY_CAPACITY), "OK")) return SYNC_NONE;
    return echoOff(link, reply);
}

// A synchronised bootloader echoing our line: skip the echo of the probe
// character and its error code, then turn the echo off.
SyncResult echoingBootloader(SwitchLink& link, char* reply, char probe) {
    if (comBytesWaiting(&link.port) != 0) {
        int length = readLineCr(link, reply, SYNC_REPLY_CAPACITY);
        if (length == 1 && reply[0] == probe) readLineCr(link, reply, SYNC_REPLY_CAPACITY);
    }
    return echoOff(link, reply);
}

// A synchronised bootloader with echo off rejected our line with "1".
SyncResult silentBootloader(SwitchLink& link, char* reply) {
    sendText(link, "A 0\r");
    int length = readLineCr(link, reply, SYNC_REPLY_CAPACITY);
    return length == 1 || reply[0] == '0' ? SYNC_BOOTLOADER : SYNC_NONE;
}

SyncResult syncAttempt(SwitchLink& link) {
    char reply[SYNC_REPLY_CAPACITY];
    char probe = switchRate(link);
    drainInput(link);
    sendProbe(link, probe);
    int length = readLine(link, reply, SYNC_REPLY_CAPACITY, "$\r");
    if (lineResembles(reply, length, "Synchronized")) return handshake(link, reply);
    if (lineIs(reply, length, "^P")) return echoingBootloader(link, reply, probe);
    if (lineIs(reply, length, "1")) return silentBootloader(link, reply);
    if (lineIs(reply, length, "^+")) {
        drainInput(link);
        return SYNC_APPLICATION;
    }
    if (length == 5 && std::strncmp(reply, "^=P", 3) == 0) return SYNC_APPLICATION;
    return SYNC_NONE;
}

}   // namespace

SyncResult nxpSync(SwitchLink& link) {
    ispEchoTurnedOff(link);   // every way this ends leaves the bootloader's echo off, or no bootloader
    for (int attempt = 0; attempt < SYNC_ATTEMPTS; ++attempt) {
        if (link.stop != nullptr && link.stop->load(std::memory_order_relaxed)) break;
        const SyncResult result = syncAttempt(link);
        if (result != SYNC_NONE) return result;
    }
    return SYNC_NONE;
}
