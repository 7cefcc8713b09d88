// A serial line behind a network serial server: telnet carrying data in
// binary both ways, with the com-port option to set the line's rate and
// control lines. Portable; the sockets are net_socket_*.cpp.
#include "link/rfc2217.h"

#include <algorithm>
#include <cstring>

#include "link/clock.h"
#include "link/net_socket.h"
#include "link/port_list.h"
#include "link/serial.h"

namespace {

constexpr unsigned char PARITY_NONE = 1, ONE_STOP_BIT = 1, DATA_BITS = 8;
constexpr unsigned char CONTROL_NO_FLOW = 1;

constexpr unsigned CONNECT_MS = 5000;
constexpr unsigned SERVER_FIRST_MS = 300;   // for a server that speaks first, and what it says
constexpr unsigned SERVER_QUIET_MS = 50;    // the end of what it says
constexpr unsigned NEGOTIATE_MS = 3000;     // for the server's answer to the com-port option
constexpr unsigned RATE_CONFIRM_MS = 2000;
constexpr unsigned DTR_ANSWER_MS = 300;
// What a server and the network add to the wire time of the last bytes sent.
constexpr std::uint32_t RATE_CHANGE_MARGIN_US = 30000;
// Longer than any server holds bytes for: a wait for the wire stays bounded.
constexpr std::uint32_t LONGEST_WIRE_WAIT_US = 2000000;
constexpr unsigned BITS_PER_BYTE = 10;   // start, 8 data, stop
constexpr int PURGE_ROUNDS = 64;

static_assert(sizeof(TelnetState) <= sizeof(SerialPort::platform), "the telnet state fits the opaque storage");

TelnetState* stateOf(SerialPort* port) {
    return reinterpret_cast<TelnetState*>(port->platform);
}

// Microseconds on the millisecond clock: 32 bits wrap after 71 minutes,
// which differences of a few seconds survive.
std::uint32_t usNow() {
    return msNow() * 1000u;
}

// The switch answers what it was sent, so an answer means the line carried
// everything before the last write: only that write may still be on its way.
// (A pseudo-terminal carries bytes faster than their rate: what was sent is
// not owed in full.)
void answerReceived(TelnetState* state) {
    if (static_cast<std::int32_t>(state->wireClearUs - state->lastWriteClearUs) > 0)
        state->wireClearUs = state->lastWriteClearUs;
}

// Sends what the decoder queued; what the socket does not take now waits for the next turn.
void sendReplies(SerialPort* port, TelnetState* state) {
    if (state->replyLength == 0 || state->closed || state->holdReplies) return;
    const int sent = netSend(port->handle, state->reply, state->replyLength);
    if (sent < 0) {
        state->closed = true;
        return;
    }
    state->replyLength = static_cast<std::uint8_t>(state->replyLength - sent);
    std::memmove(state->reply, state->reply + sent, state->replyLength);
}

// Takes what the socket holds, as far as the data buffer has room. Never waits.
int receiveWaiting(SerialPort* port, TelnetState* state) {
    if (state->closed) return -1;
    if (state->next == state->end) state->next = state->end = 0;
    if (state->next > 0) {
        std::memmove(state->data, state->data + state->next, state->end - state->next);
        state->end = static_cast<std::uint16_t>(state->end - state->next);
        state->next = 0;
    }
    const int room = static_cast<int>(sizeof state->data) - state->end;
    const int got = room > 0 ? netReceive(port->handle, state->data + state->end, room) : 0;
    if (got < 0) state->closed = true;
    const std::uint16_t dataBefore = state->end;
    if (got > 0) telnetDecode(state, got);
    state->heard = state->heard || got > 0;
    if (state->end != dataBefore) answerReceived(state);
    sendReplies(port, state);
    return got;
}

using Condition = bool (*)(const TelnetState*);

// Receives until `met` or the connection ends or the time is up. Nothing renews the deadline.
bool receiveUntil(SerialPort* port, Condition met, std::uint32_t start, unsigned budget) {
    TelnetState* state = stateOf(port);
    for (;;) {
        if (met(state)) return true;
        if (state->closed) return false;
        const int left = msLeft(start, budget);
        if (left == 0 || netWait(port->handle, false, static_cast<unsigned>(left)) <= 0) return met(state);
        receiveWaiting(port, state);
    }
}

bool heard(const TelnetState* state) {
    return state->heard;
}

bool hasData(const TelnetState* state) {
    return state->next != state->end;
}
bool comPortAnswered(const TelnetState* state) {
    return state->comPort != COM_PORT_UNKNOWN;
}
bool rateAnswered(const TelnetState* state) {
    return state->rateAnswered;
}
bool dtrAnswered(const TelnetState* state) {
    return state->dtrAnswered;
}
bool mayWrite(const TelnetState* state) {
    return !state->suspended;
}

// Sends all of `bytes` within the time left. False when the connection failed or the time ran out.
bool sendAll(SerialPort* port, const unsigned char* bytes, int count, std::uint32_t start, unsigned budget) {
    TelnetState* state = stateOf(port);
    while (count > 0 && !state->closed) {
        const int sent = netSend(port->handle, bytes, count);
        if (sent < 0) state->closed = true;
        if (sent > 0) {
            bytes += sent;
            count -= sent;
        }
        const int left = msLeft(start, budget);
        if (sent == 0 && (left == 0 || netWait(port->handle, true, static_cast<unsigned>(left)) < 0)) return false;
    }
    return count == 0;
}

bool sendComPort(SerialPort* port, unsigned char code, const unsigned char* value, int length) {
    unsigned char command[4 + 2 * 4 + 2] = {IAC, SB, OPTION_COM_PORT, code};
    int at = 4;
    for (int index = 0; index < length; ++index) {
        command[at++] = value[index];
        if (value[index] == IAC) command[at++] = IAC;
    }
    command[at++] = IAC;
    command[at++] = SE;
    return sendAll(port, command, at, msNow(), PORT_IO_WAIT_MS);
}

bool sendComPortByte(SerialPort* port, unsigned char code, unsigned char value) {
    return sendComPort(port, code, &value, 1);
}

// What was sent at the old rate must leave the server's line before it changes.
void awaitWireClear(const TelnetState* state) {
    const auto left = static_cast<std::int32_t>(state->wireClearUs + RATE_CHANGE_MARGIN_US - usNow());
    if (left > 0) msDelay(std::min<std::uint32_t>(static_cast<std::uint32_t>(left), LONGEST_WIRE_WAIT_US) / 1000 + 1);
}

int setRate(SerialPort* port, unsigned baud) {
    TelnetState* state = stateOf(port);
    awaitWireClear(state);
    const unsigned char value[] = {static_cast<unsigned char>(baud >> 24), static_cast<unsigned char>(baud >> 16),
                                   static_cast<unsigned char>(baud >> 8), static_cast<unsigned char>(baud)};
    state->rateAnswered = false;
    state->awaitingRate = true;
    const bool confirmed = sendComPort(port, SET_BAUDRATE, value, sizeof value) &&
                           receiveUntil(port, rateAnswered, msNow(), RATE_CONFIRM_MS) && state->confirmedRate == baud;
    state->awaitingRate = false;
    state->lineRate = baud;
    return confirmed ? 1 : 0;
}

// A server that speaks first is heard out before anything is sent to it:
// one whose line is taken says so and hangs up, and a byte sent to it then
// would reset the connection and lose its words.
void hearOut(SerialPort* port, TelnetState* state) {
    const std::uint32_t start = msNow();
    state->holdReplies = true;
    if (receiveUntil(port, heard, start, SERVER_FIRST_MS)) {
        while (!state->closed && msLeft(start, SERVER_FIRST_MS) > 0 &&
               netWait(port->handle, false, SERVER_QUIET_MS) > 0)
            receiveWaiting(port, state);
    }
    state->holdReplies = false;
}

// Binary both ways, no go-ahead, and the com-port option; the server's answer
// to the last tells what it is.
void offerOptions(SerialPort* port) {
    const unsigned char offer[] = {IAC, WILL, OPTION_BINARY, IAC, DO,   OPTION_BINARY,  IAC, WILL, OPTION_SGA,
                                   IAC, DO,   OPTION_SGA,    IAC, WILL, OPTION_COM_PORT};
    TelnetState* state = stateOf(port);
    state->usOn = optionBit(OPTION_BINARY, true) | optionBit(OPTION_SGA, true) | optionBit(OPTION_COM_PORT, true);
    state->themOn = optionBit(OPTION_BINARY, false) | optionBit(OPTION_SGA, false);
    hearOut(port, state);
    if (sendAll(port, offer, sizeof offer, msNow(), PORT_IO_WAIT_MS))
        receiveUntil(port, comPortAnswered, msNow(), NEGOTIATE_MS);
}

int openFailureAfterNegotiation(const TelnetState* state) {
    if (state->comPort == COM_PORT_ACCEPTED) return PORT_OPEN_OK;
    return state->closed ? PORT_OPEN_FAILED : PORT_OPEN_NOT_RFC2217;
}

// A server whose line another client holds may still take the options, then
// says so in plain text and hangs up.
bool refusedAsBusy(const TelnetState* state) {
    return state->closed && state->busyMatched == sizeof BUSY_NOTICE - 1;
}

bool applyLineSettings(SerialPort* port, unsigned baud) {
    return sendComPortByte(port, SET_DATASIZE, DATA_BITS) && sendComPortByte(port, SET_PARITY, PARITY_NONE) &&
           sendComPortByte(port, SET_STOPSIZE, ONE_STOP_BIT) && sendComPortByte(port, SET_CONTROL, CONTROL_NO_FLOW) &&
           setRate(port, baud) != 0;
}

void closeNetwork(SerialPort* port) {
    netClose(port->handle);
    port->handle = 0;
    std::memset(port->platform, 0, sizeof port->platform);
}

int openNetwork(SerialPort* port, const char* path, unsigned baud) {
    char host[PORT_DEVICE_SIZE], service[8];
    if (comSplitPortUrl(path, host, sizeof host, service, sizeof service) == 0) return PORT_OPEN_MISSING;
    std::intptr_t socket = 0;
    const int connected = netConnect(host, service, CONNECT_MS, &socket);
    if (connected != PORT_OPEN_OK) return connected;
    std::memset(port->platform, 0, sizeof port->platform);
    port->handle = socket;
    stateOf(port)->wireClearUs = usNow();
    offerOptions(port);
    int result = openFailureAfterNegotiation(stateOf(port));
    if (result == PORT_OPEN_OK && !applyLineSettings(port, baud)) result = PORT_OPEN_FAILED;
    if (result != PORT_OPEN_OK && refusedAsBusy(stateOf(port))) result = PORT_OPEN_BUSY;
    if (result != PORT_OPEN_OK) closeNetwork(port);
    return result;
}

int serve(TelnetState* state, unsigned char* bytes, std::int32_t count) {
    const std::int32_t served = std::min<std::int32_t>(count, state->end - state->next);
    std::memcpy(bytes, state->data + state->next, static_cast<std::size_t>(served));
    state->next = static_cast<std::uint16_t>(state->next + served);
    return served;
}

// As a local port reads: the first byte within `firstByteMs`, then until
// `count` or a PORT_BYTE_GAP_MS silence, all within `firstByteMs`.
int readNetwork(SerialPort* port, void* buffer, std::int32_t count, unsigned firstByteMs) {
    TelnetState* state = stateOf(port);
    auto* bytes = static_cast<unsigned char*>(buffer);
    std::int32_t got = serve(state, bytes, count);
    const std::uint32_t start = msNow();
    while (got < count) {
        if (got > 0 && msLeft(start, firstByteMs) == 0) break;
        const std::uint32_t waitStart = got == 0 ? start : msNow();
        if (!receiveUntil(port, hasData, waitStart, got == 0 ? firstByteMs : PORT_BYTE_GAP_MS + 1)) break;
        got += serve(state, bytes + got, count - got);
    }
    return got;
}

// Notes when the data handed over now will have left the server's line.
void countWireTime(TelnetState* state, std::int32_t count) {
    const std::uint32_t now = usNow();
    if (static_cast<std::int32_t>(state->wireClearUs - now) < 0) state->wireClearUs = now;
    const std::uint64_t rate = state->lineRate != 0 ? state->lineRate : 1;
    const auto wireUs = static_cast<std::uint32_t>(static_cast<std::uint64_t>(count) * BITS_PER_BYTE * 1000000 / rate);
    state->wireClearUs += wireUs;
    state->lastWriteClearUs = now + wireUs;
}

// Data with every 255 doubled, in chunks from a buffer on the stack.
int writeNetwork(SerialPort* port, const void* bytes, std::int32_t count, unsigned waitMs) {
    const std::uint32_t start = msNow();
    if (!receiveUntil(port, mayWrite, start, waitMs)) return 0;
    const auto* data = static_cast<const unsigned char*>(bytes);
    unsigned char chunk[512];
    std::int32_t taken = 0;
    while (taken < count) {
        int length = 0;
        for (; taken < count && length + 2 <= static_cast<int>(sizeof chunk); ++taken) {
            chunk[length++] = data[taken];
            if (data[taken] == IAC) chunk[length++] = IAC;
        }
        if (!sendAll(port, chunk, length, start, waitMs)) return 0;
    }
    countWireTime(stateOf(port), count);
    return count;
}

int drainNetwork(SerialPort* port) {
    return stateOf(port)->closed ? 0 : 1;
}

int purgeNetwork(SerialPort* port) {
    TelnetState* state = stateOf(port);
    for (int round = 0; round < PURGE_ROUNDS; ++round) {
        state->next = state->end;
        if (receiveWaiting(port, state) <= 0) break;
    }
    state->next = state->end;
    return state->closed ? 0 : 1;
}

// A server in front of a line without modem lines may not answer at all; that is no failure.
int setDtrNetwork(SerialPort* port, int raised) {
    TelnetState* state = stateOf(port);
    state->dtrAnswered = false;
    if (!sendComPortByte(port, SET_CONTROL, raised != 0 ? CONTROL_DTR_ON : CONTROL_DTR_OFF)) return 0;
    port->dtrUnanswered = receiveUntil(port, dtrAnswered, msNow(), DTR_ANSWER_MS) ? 0 : 1;
    return state->closed ? 0 : 1;
}

int bytesWaitingNetwork(SerialPort* port) {
    TelnetState* state = stateOf(port);
    receiveWaiting(port, state);
    return state->end - state->next;
}

int waitInputNetwork(SerialPort* port, unsigned timeoutMs) {
    if (receiveUntil(port, hasData, msNow(), timeoutMs)) return 1;
    return stateOf(port)->closed ? PORT_LOST : 0;
}

// Network ports have no numbers.
int noNumberedPath(unsigned, char*, std::size_t) {
    return 0;
}

constexpr PortOperations NETWORK_SERIAL_PORT = {
    .numberedPath = noNumberedPath,
    .open = openNetwork,
    .close = closeNetwork,
    .read = readNetwork,
    .write = writeNetwork,
    .drain = drainNetwork,
    .purge = purgeNetwork,
    .setBaud = setRate,
    .setDtr = setDtrNetwork,
    .bytesWaiting = bytesWaitingNetwork,
    .waitInput = waitInputNetwork,
};

}   // namespace

const PortOperations* networkSerialPort() {
    return &NETWORK_SERIAL_PORT;
}
