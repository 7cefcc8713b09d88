#include "isp/line.h"

#include <cstdint>
#include <cstring>

#include "format/support_trace.h"
#include "link/clock.h"
#include "link/serial.h"

namespace {

constexpr unsigned char DC1 = 0x11, DC3 = 0x13;   // the bootloader's XON/XOFF

bool isTerminator(char byte, const char* terminators) {
    return byte != '\0' && std::strchr(terminators, byte) != nullptr;
}

// Milliseconds left of the line budget, at least 1 so a wait never spins.
unsigned budgetLeft(std::uint32_t start, unsigned budget) {
    std::uint32_t spent = msNow() - start;
    return spent >= budget ? 1u : budget + 1u - spent;
}

// What a line keeps of the bytes before its terminator.
enum LineFilter { PRINTABLE, ECHOED };

bool keeps(LineFilter filter, unsigned char value) {
    if (filter == PRINTABLE) return value >= 0x20 && value <= 0x7F;
    return value != DC1 && value != DC3;
}

int readLineUntraced(char* buffer, int capacity, const char* terminators, LineFilter filter = PRINTABLE,
                     unsigned budget = LINE_TIMEOUT_MS) {
    if (capacity < 1) return -1;
    int count = 0;
    bool terminated = false;
    std::uint32_t start = msNow();
    while (!terminated && count < capacity && !msElapsed(start, budget)) {
        int waiting = comBytesWaiting(&serialPort);
        if (waiting == 0) {
            // A closed or failing port returns at once; do not spin on it.
            if (!comWaitInput(&serialPort, budgetLeft(start, budget))) msSleep(1);
            continue;
        }
        while (waiting > 0 && count < capacity) {
            char byte;
            int got = comRead(&serialPort, &byte, 1);
            if (got < 1) break;   // nothing delivered: wait again within the budget
            waiting -= got;
            if (isTerminator(byte, terminators)) {
                buffer[count] = '\0';
                terminated = true;
                break;
            }
            if (keeps(filter, static_cast<unsigned char>(byte))) buffer[count++] = byte;
        }
    }
    if (!terminated) {
        buffer[0] = '\0';
        return -1;
    }
    return count;
}

}   // namespace

int readLine(char* buffer, int capacity, const char* terminators) {
    const int length = readLineUntraced(buffer, capacity, terminators);
    if (length < 0)
        traceNoAnswer();
    else
        traceReceived(buffer);
    return length;
}

int readLineCr(char* buffer, int capacity) {
    return readLine(buffer, capacity, "\r");
}

int readDataLineCr(char* buffer, int capacity) {
    return readLineUntraced(buffer, capacity, "\r");
}

int readEchoLine(char* buffer, int capacity, unsigned budgetMs) {
    int length = 0;
    do length = readLineUntraced(buffer, capacity, "\r\n", ECHOED, budgetMs);
    while (length == 0);
    return length;
}

int readLineDollar(char* buffer, int capacity) {
    return readLine(buffer, capacity, "$");
}

int sendText(const char* text) {
    traceSentText(text);
    return comSendString(text);
}

void drainInput() {
    char discard[64];
    int discarded = 0;
    for (int waiting = comBytesWaiting(&serialPort); waiting > 0; waiting = comBytesWaiting(&serialPort)) {
        // Never ask for more than is waiting: the read then returns at once.
        int wanted = waiting < static_cast<int>(sizeof discard) ? waiting : sizeof discard;
        const int got = comRead(&serialPort, discard, wanted);
        if (got < 1) break;   // a failing port would loop forever
        discarded += got;
    }
    if (discarded > 0) traceNote("discarded %d received bytes", discarded);
}

unsigned wireMs(unsigned characters) {
    return currentBaud == 0 ? 0 : characters * BITS_PER_CHARACTER * 1000u / currentBaud;
}
