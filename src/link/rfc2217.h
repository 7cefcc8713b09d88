// The serial line behind a network serial server (telnet with the com-port
// option): its port table and the receive path's decoder, which the fuzz
// target and the tests drive directly. Private to src/link.
#pragma once
#include <cstdint>

#include "link/port.h"

// The operations of a port named rfc2217://HOST:PORT.
const PortOperations* networkSerialPort();

// What the decoder knows of the connection; kept in SerialPort::platform.
struct TelnetState {
    unsigned char data[224];   // received data bytes, telnet removed; data[next, end) not yet read
    std::uint16_t next;
    std::uint16_t end;
    unsigned char reply[48];   // answers to the server's requests, not yet sent
    std::uint8_t replyLength;
    unsigned char sub[12];   // the subnegotiation being received
    std::uint8_t subLength;
    bool subTooLong;
    std::uint8_t parse;     // where the decoder is in a telnet sequence
    std::uint8_t verb;      // WILL, WONT, DO or DONT awaiting its option
    std::uint8_t usOn;      // options we perform, one bit each
    std::uint8_t themOn;    // options the server performs
    std::uint8_t comPort;   // the server's answer to the com-port option
    bool suspended;         // the server asked us to stop sending
    bool closed;            // the connection ended
    bool heard;             // the server has sent something
    bool holdReplies;       // answers wait until the server has had its say
    bool awaitingRate;      // data before the rate's confirmation is dropped
    bool rateAnswered;
    bool dtrAnswered;
    std::uint8_t busyMatched;   // characters of the server's "in use" notice seen so far
    std::uint32_t confirmedRate;
    std::uint32_t lineRate;           // the rate data is sent at
    std::uint32_t lastWriteClearUs;   // when the last write alone will have left it
    std::uint32_t wireClearUs;        // when what was sent at that rate has left the server's line (usNow)
};

constexpr std::uint8_t COM_PORT_UNKNOWN = 0;
constexpr std::uint8_t COM_PORT_ACCEPTED = 1;
constexpr std::uint8_t COM_PORT_REFUSED = 2;

// The telnet and com-port codes both halves use.
constexpr unsigned char IAC = 255, DONT = 254, DO = 253, WONT = 252, WILL = 251, SB = 250, SE = 240;
constexpr unsigned char OPTION_BINARY = 0, OPTION_SGA = 3, OPTION_COM_PORT = 44;
// Com-port commands; the server answers each with the code plus 100.
constexpr unsigned char SET_BAUDRATE = 1, SET_DATASIZE = 2, SET_PARITY = 3, SET_STOPSIZE = 4, SET_CONTROL = 5;
constexpr unsigned char FLOWCONTROL_SUSPEND = 8, FLOWCONTROL_RESUME = 9, SERVER_REPLY = 100;
constexpr unsigned char CONTROL_DTR_ON = 8, CONTROL_DTR_OFF = 9;   // values of SET_CONTROL
// What ser2net says before it hangs up on a second client.
constexpr char BUSY_NOTICE[] = "in use";

// The options each side may perform, one bit each; others are refused.
std::uint8_t optionBit(unsigned char option, bool ours);

// Decodes `count` received bytes found at state->data[state->end] in place:
// data bytes stay (moved down), telnet sequences are taken in and answered
// into `reply`. The bytes must fit the buffer: end + count <= sizeof data.
void telnetDecode(TelnetState* state, std::int32_t count);
