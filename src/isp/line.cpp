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

// Milliseconds left until the deadline, at least 1 so a wait never spins.
unsigned budgetLeft(Deadline deadline) {
    std::uint32_t spent = msNow() - deadline.start;
    return spent >= deadline.budgetMs ? 1u : deadline.budgetMs + 1u - spent;
}

bool stopAsked(const SwitchLink& link) {
    return link.stop != nullptr && link.stop->load(std::memory_order_relaxed);
}

unsigned waitSlice(const SwitchLink& link, Deadline deadline) {
    const unsigned left = budgetLeft(deadline);
    return link.stop != nullptr && left > STOP_CHECK_MS ? STOP_CHECK_MS : left;
}

// What a line keeps of the bytes before its terminator.
enum LineFilter { PRINTABLE, ECHOED };

bool keeps(LineFilter filter, unsigned char value) {
    if (filter == PRINTABLE) return value >= 0x20 && value <= 0x7F;
    return value != DC1 && value != DC3;
}

int readLineUntraced(SwitchLink& link, char* buffer, int capacity, const char* terminators, LineFilter filter,
                     Deadline deadline) {
    if (capacity < 1) return -1;
    int count = 0;
    bool terminated = false;
    while (!terminated && count < capacity && !msElapsed(deadline.start, deadline.budgetMs) && !stopAsked(link)) {
        int waiting = comBytesWaiting(&link.port);
        if (waiting == 0) {
            // A closed or failing port returns at once; do not spin on it.
            if (comWaitInput(&link.port, waitSlice(link, deadline)) <= 0) msSleep(1);
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

int readTracedLine(SwitchLink& link, char* buffer, int capacity, const char* terminators, Deadline deadline) {
    const int length = readLineUntraced(link, buffer, capacity, terminators, PRINTABLE, deadline);
    if (length < 0)
        traceNoAnswer(link.traceTag);
    else
        traceReceived(link.traceTag, buffer);
    return length;
}

}   // namespace

Deadline deadlineIn(unsigned ms) {
    return Deadline{msNow(), ms};
}

int readLine(SwitchLink& link, char* buffer, int capacity, const char* terminators) {
    return readTracedLine(link, buffer, capacity, terminators, deadlineIn(LINE_TIMEOUT_MS));
}

int readLineCr(SwitchLink& link, char* buffer, int capacity) {
    return readLine(link, buffer, capacity, "\r");
}

int readLineCr(SwitchLink& link, char* buffer, int capacity, Deadline deadline) {
    return readTracedLine(link, buffer, capacity, "\r", deadline);
}

int readDataLineCr(SwitchLink& link, char* buffer, int capacity, Deadline deadline) {
    return readLineUntraced(link, buffer, capacity, "\r", PRINTABLE, deadline);
}

int readEchoLine(SwitchLink& link, char* buffer, int capacity, Deadline deadline) {
    int length = 0;
    do length = readLineUntraced(link, buffer, capacity, "\r\n", ECHOED, deadline);
    while (length == 0);
    return length;
}

int readEchoLine(SwitchLink& link, char* buffer, int capacity) {
    return readEchoLine(link, buffer, capacity, deadlineIn(LINE_TIMEOUT_MS));
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
