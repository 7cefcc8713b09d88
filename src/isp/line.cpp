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

constexpr unsigned STOP_CHECK_MS = 20;   // how soon a probe that is asked to stop notices

// Milliseconds left of the line budget, at least 1 so a wait never spins.
unsigned budgetLeft(std::uint32_t start, unsigned budget) {
    std::uint32_t spent = msNow() - start;
    return spent >= budget ? 1u : budget + 1u - spent;
}

bool stopAsked(const SwitchLink& link) {
    return link.stop != nullptr && link.stop->load(std::memory_order_relaxed);
}

unsigned waitSlice(const SwitchLink& link, std::uint32_t start, unsigned budget) {
    const unsigned left = budgetLeft(start, budget);
    return link.stop != nullptr && left > STOP_CHECK_MS ? STOP_CHECK_MS : left;
}

// What a line keeps of the bytes before its terminator.
enum LineFilter { PRINTABLE, ECHOED };

bool keeps(LineFilter filter, unsigned char value) {
    if (filter == PRINTABLE) return value >= 0x20 && value <= 0x7F;
    return value != DC1 && value != DC3;
}

int readLineUntraced(SwitchLink& link, char* buffer, int capacity, const char* terminators,
                     LineFilter filter = PRINTABLE, unsigned budget = LINE_TIMEOUT_MS) {
    if (capacity < 1) return -1;
    int count = 0;
    bool terminated = false;
    std::uint32_t start = msNow();
    while (!terminated && count < capacity && !msElapsed(start, budget) && !stopAsked(link)) {
        int waiting = comBytesWaiting(&link.port);
        if (waiting == 0) {
            // A closed or failing port returns at once; do not spin on it.
            if (!comWaitInput(&link.port, waitSlice(link, start, budget))) msSleep(1);
            continue;
        }
        while (waiting > 0 && count < capacity) {
            char byte;
            int got = comRead(&link.port, &byte, 1);
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

int readLine(SwitchLink& link, char* buffer, int capacity, const char* terminators) {
    const int length = readLineUntraced(link, buffer, capacity, terminators);
    if (length < 0)
        traceNoAnswer(link.traceTag);
    else
        traceReceived(link.traceTag, buffer);
    return length;
}

int readLineCr(SwitchLink& link, char* buffer, int capacity) {
    return readLine(link, buffer, capacity, "\r");
}

int readDataLineCr(SwitchLink& link, char* buffer, int capacity) {
    return readLineUntraced(link, buffer, capacity, "\r");
}

int readEchoLine(SwitchLink& link, char* buffer, int capacity, unsigned budgetMs) {
    int length = 0;
    do length = readLineUntraced(link, buffer, capacity, "\r\n", ECHOED, budgetMs);
    while (length == 0);
    return length;
}

int readLineDollar(SwitchLink& link, char* buffer, int capacity) {
    return readLine(link, buffer, capacity, "$");
}

bool linkStopped(const SwitchLink& link) {
    return stopAsked(link);
}

int sendText(SwitchLink& link, const char* text) {
    if (stopAsked(link)) return 0;
    traceSentText(link.traceTag, text);
    return comSendString(&link.port, text);
}

void drainInput(SwitchLink& link) {
    char discard[64];
    int discarded = 0;
    for (int waiting = comBytesWaiting(&link.port); waiting > 0; waiting = comBytesWaiting(&link.port)) {
        // Never ask for more than is waiting: the read then returns at once.
        int wanted = waiting < static_cast<int>(sizeof discard) ? waiting : sizeof discard;
        const int got = comRead(&link.port, discard, wanted);
        if (got < 1) break;   // a failing port would loop forever
        discarded += got;
    }
    if (discarded > 0) traceNote(link.traceTag, "discarded %d received bytes", discarded);
}

unsigned wireMs(SwitchLink& link, unsigned characters) {
    return link.port.baud == 0 ? 0 : characters * BITS_PER_CHARACTER * 1000u / link.port.baud;
}
