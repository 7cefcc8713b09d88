// The receive path of a network serial port: telnet taken out of the data
// and answered, the com-port option's notifications taken in. Portable.
#include <cstring>

#include "link/rfc2217.h"
#include "link/serial.h"

std::uint8_t optionBit(unsigned char option, bool ours) {
    if (option == OPTION_BINARY) return 1;
    if (option == OPTION_SGA) return 2;
    return ours && option == OPTION_COM_PORT ? 4 : 0;
}

namespace {

enum Parse : std::uint8_t { PARSE_DATA, PARSE_COMMAND, PARSE_OPTION, PARSE_SUB, PARSE_SUB_COMMAND };

void queueReply(TelnetState* state, const unsigned char* bytes, std::size_t count) {
    if (state->replyLength + count > sizeof state->reply) return;   // a storm: answers beyond the room are dropped
    std::memcpy(state->reply + state->replyLength, bytes, count);
    state->replyLength = static_cast<std::uint8_t>(state->replyLength + count);
}

void answer(TelnetState* state, unsigned char verb, unsigned char option) {
    const unsigned char bytes[] = {IAC, verb, option};
    queueReply(state, bytes, sizeof bytes);
}

// Answers only a change of state, so two sides never loop on an option.
void negotiate(TelnetState* state, unsigned char verb, unsigned char option) {
    const bool ours = verb == DO || verb == DONT;
    std::uint8_t& on = ours ? state->usOn : state->themOn;
    const std::uint8_t bit = optionBit(option, ours);
    const bool wanted = verb == DO || verb == WILL;
    if (option == OPTION_COM_PORT && ours) state->comPort = wanted ? COM_PORT_ACCEPTED : COM_PORT_REFUSED;
    if (wanted && bit == 0) answer(state, ours ? WONT : DONT, option);
    if (wanted && bit != 0 && (on & bit) == 0) answer(state, ours ? WILL : DO, option);
    if (!wanted && (on & bit) != 0) answer(state, ours ? WONT : DONT, option);
    on = static_cast<std::uint8_t>(wanted ? on | bit : on & ~bit);
}

std::uint32_t bigEndian(const unsigned char* bytes) {
    return static_cast<std::uint32_t>(bytes[0]) << 24 | static_cast<std::uint32_t>(bytes[1]) << 16 |
           static_cast<std::uint32_t>(bytes[2]) << 8 | bytes[3];
}

void takeSubnegotiation(TelnetState* state) {
    if (state->subTooLong || state->subLength < 2 || state->sub[0] != OPTION_COM_PORT) return;
    const unsigned char code = state->sub[1];
    if (code == SERVER_REPLY + SET_BAUDRATE && state->subLength == 6) {
        state->confirmedRate = bigEndian(state->sub + 2);
        state->rateAnswered = true;
        if (state->awaitingRate) state->next = state->end;   // what came before was at the old rate
    }
    const bool dtr = state->subLength == 3 && (state->sub[2] == CONTROL_DTR_ON || state->sub[2] == CONTROL_DTR_OFF);
    if (code == SERVER_REPLY + SET_CONTROL && dtr) state->dtrAnswered = true;
    if (code == SERVER_REPLY + FLOWCONTROL_SUSPEND) state->suspended = true;
    if (code == SERVER_REPLY + FLOWCONTROL_RESUME) state->suspended = false;
}

void keepSubByte(TelnetState* state, unsigned char byte) {
    if (state->subLength < sizeof state->sub)
        state->sub[state->subLength++] = byte;
    else
        state->subTooLong = true;
}

// Counts the characters of the busy notice a server sends before it hangs up.
void watchBusyNotice(TelnetState* state, unsigned char byte) {
    if (state->busyMatched == sizeof BUSY_NOTICE - 1) return;
    const char expected = BUSY_NOTICE[state->busyMatched];
    state->busyMatched = static_cast<std::uint8_t>(byte == expected ? state->busyMatched + 1
                                                                    : (byte == BUSY_NOTICE[0]));
}

void keepData(TelnetState* state, unsigned char byte) {
    watchBusyNotice(state, byte);
    state->data[state->end++] = byte;
}

void afterCommand(TelnetState* state, unsigned char byte) {
    state->parse = PARSE_DATA;
    if (byte == IAC) keepData(state, IAC);
    if (byte >= WILL && byte <= DONT) {
        state->verb = byte;
        state->parse = PARSE_OPTION;
    }
    if (byte == SB) {
        state->subLength = 0;
        state->subTooLong = false;
        state->parse = PARSE_SUB;
    }
}

void decodeByte(TelnetState* state, unsigned char byte) {
    switch (state->parse) {
    case PARSE_DATA:
        if (byte == IAC)
            state->parse = PARSE_COMMAND;
        else
            keepData(state, byte);
        break;
    case PARSE_COMMAND: afterCommand(state, byte); break;
    case PARSE_OPTION:
        negotiate(state, state->verb, byte);
        state->parse = PARSE_DATA;
        break;
    case PARSE_SUB:
        if (byte == IAC)
            state->parse = PARSE_SUB_COMMAND;
        else
            keepSubByte(state, byte);
        break;
    default:   // IAC within a subnegotiation: a doubled 255, its end, or a command that ends it
        if (byte == IAC) {
            keepSubByte(state, IAC);
            state->parse = PARSE_SUB;
        } else if (byte == SE) {
            takeSubnegotiation(state);
            state->parse = PARSE_DATA;
        } else {
            afterCommand(state, byte);
        }
    }
}

}   // namespace

void telnetDecode(TelnetState* state, std::int32_t count) {
    const std::uint16_t first = state->end;
    for (std::int32_t at = 0; at < count; ++at) decodeByte(state, state->data[first + at]);
}
