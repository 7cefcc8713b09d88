// What the bootloader client's command path, its echoed write and its read
// share. Private to src/isp.
#pragma once
#include <cstdint>
#include <cstring>

#include "isp/isp.h"
#include "isp/uu.h"

constexpr int CODE_CAPACITY = 7;                      // return codes: up to 6 characters
constexpr int NUMBER_CAPACITY = 11;                   // a 32-bit decimal number
constexpr int ECHO_CAPACITY = 4 * UU_LINE_CAPACITY;   // room for data lines run together

// The leading decimal digits of a reply line, modulo 2^32; none give 0.
inline std::uint32_t decimalValue(const char* text) {
    std::uint32_t value = 0;
    for (; *text >= '0' && *text <= '9'; ++text) value = value * 10 + static_cast<std::uint32_t>(*text - '0');
    return value;
}

inline std::uint32_t roundUpToWord(std::uint32_t count) {
    return (count + 3) & ~3u;
}

inline std::uint32_t byteSum(const std::uint8_t* bytes, std::uint32_t count) {
    std::uint32_t sum = 0;
    for (std::uint32_t i = 0; i < count; ++i) sum += bytes[i];
    return sum;
}

// A line of `length` characters that holds digits only, and at least one.
inline bool digitsOnly(const char* line, int length) {
    return length > 0 && std::strspn(line, "0123456789") == static_cast<std::size_t>(length);
}

constexpr int ISP_RETURN_CODES = 23;   // the bootloader's return codes are 0 to 22

// A failing return code as the bootloader words it: digits only, 1 to 22.
// Any other answer was spoilt on its way back, or came from no bootloader.
inline bool refusedAsWorded(IspReturnCode code, const char* reply) {
    return code > ISP_CMD_SUCCESS && code < ISP_RETURN_CODES && reply[std::strspn(reply, "0123456789")] == '\0';
}

inline bool sameBytes(const char* echo, int length, const char* sent, int sentLength) {
    return length == sentLength && std::memcmp(echo, sent, static_cast<std::size_t>(length)) == 0;
}

// Formats a command into link.isp.lastExchange and sends it with CR LF
// without reading anything. Returns its length.
int sendCommand(SwitchLink& link, const char* format, ...);
