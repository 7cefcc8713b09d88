#include <cstring>

#include "isp/isp.h"
#include "isp/line.h"
#include "link/clock.h"
#include "link/serial.h"

namespace {

constexpr unsigned BOOTLOADER_BAUD = 115200;
constexpr unsigned APPLICATION_BAUD = 19200;
constexpr int SYNC_REPLY_CAPACITY = 20;
constexpr unsigned SYNC_GAP_MS = 10;

bool lineIs(const char* line, int length, const char* expected) {
    return length == static_cast<int>(std::strlen(expected)) && std::strcmp(line, expected) == 0;
}

// Switches to the rate the port is not at and returns the probe character of
// that rate: the bootloader's autobaud '?' at 115200, '*' at 19200.
char switchRate() {
    unsigned baud = currentBaud == APPLICATION_BAUD ? BOOTLOADER_BAUD : APPLICATION_BAUD;
    comSetBaud(&serialPort, baud);   // a failure closes the port; every read then times out
    currentBaud = baud;
    return baud == BOOTLOADER_BAUD ? '?' : '*';
}

void sendProbe(char probe) {
    const char probeText[] = {probe, '\0'};
    sendText("\x1B");   // ESC aborts whatever the bootloader was receiving
    msDelay(SYNC_GAP_MS);
    sendText("^P$");
    msDelay(SYNC_GAP_MS);
    sendText(probeText);
    msDelay(SYNC_GAP_MS);
    sendText("\r");
}

// "A 0": the bootloader answers "0", possibly after echoing the command.
int echoOff(char* reply) {
    sendText("A 0\r");
    int length = readLineCr(reply, SYNC_REPLY_CAPACITY);
    if (length == 3) length = readLineCr(reply, SYNC_REPLY_CAPACITY);
    return lineIs(reply, length, "0") ? SYNC_BOOTLOADER : SYNC_NONE;
}

// The bootloader answered the autobaud character: confirm, give it the
// oscillator step, then turn its echo off. Its echoes are read and skipped.
int handshake(char* reply) {
    sendText("Synchronized\r\n");
    if (readLineCr(reply, SYNC_REPLY_CAPACITY) == 0) readLineCr(reply, SYNC_REPLY_CAPACITY);
    if (!lineIs(reply, readLineCr(reply, SYNC_REPLY_CAPACITY), "OK")) return SYNC_NONE;
    sendText("O\r");
    readLineCr(reply, SYNC_REPLY_CAPACITY);
    if (!lineIs(reply, readLineCr(reply, SYNC_REPLY_CAPACITY), "OK")) return SYNC_NONE;
    return echoOff(reply);
}

// A synchronised bootloader echoing our line: skip the echo of the probe
// character and its error code, then turn the echo off.
int echoingBootloader(char* reply, char probe) {
    if (comBytesWaiting(&serialPort) != 0) {
        int length = readLineCr(reply, SYNC_REPLY_CAPACITY);
        if (length == 1 && reply[0] == probe) readLineCr(reply, SYNC_REPLY_CAPACITY);
    }
    return echoOff(reply);
}

// A synchronised bootloader with echo off rejected our line with "1".
int silentBootloader(char* reply) {
    sendText("A 0\r");
    int length = readLineCr(reply, SYNC_REPLY_CAPACITY);
    return length == 1 || reply[0] == '0' ? SYNC_BOOTLOADER : SYNC_NONE;
}

int syncAttempt() {
    char reply[SYNC_REPLY_CAPACITY];
    char probe = switchRate();
    drainInput();
    sendProbe(probe);
    int length = readLine(reply, SYNC_REPLY_CAPACITY, "$\r");
    if (lineIs(reply, length, "Synchronized")) return handshake(reply);
    if (lineIs(reply, length, "^P")) return echoingBootloader(reply, probe);
    if (lineIs(reply, length, "1")) return silentBootloader(reply);
    if (lineIs(reply, length, "^+")) {
        drainInput();
        return SYNC_APPLICATION;
    }
    if (length == 5 && std::strncmp(reply, "^=P", 3) == 0) return SYNC_APPLICATION;
    return SYNC_NONE;
}

}   // namespace

int nxpSync() {
    ispEchoTurnedOff();   // every way this ends leaves the bootloader's echo off, or no bootloader
    for (int attempt = 0; attempt < SYNC_ATTEMPTS; ++attempt) {
        int result = syncAttempt();
        if (result != SYNC_NONE) return result;
    }
    return SYNC_NONE;
}
