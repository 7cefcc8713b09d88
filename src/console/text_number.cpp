#include "console/text_number.h"

namespace {

bool isWhiteSpace(char c) {
    return c == ' ' || (c >= '\t' && c <= '\r');
}

int digitValue(char c, int base) {
    int value = 99;
    if (c >= '0' && c <= '9')
        value = c - '0';
    else if (c >= 'a' && c <= 'z')
        value = c - 'a' + 10;
    else if (c >= 'A' && c <= 'Z')
        value = c - 'A' + 10;
    return value < base ? value : -1;
}

struct Magnitude {
    std::uint64_t value;   // saturates just above the 32-bit range
    bool negative;
    bool found;
};

// Parses sign and digits from *cursor; moves it only when digits were found.
Magnitude readMagnitude(const char** cursor, int base) {
    const char* p = *cursor;
    while (isWhiteSpace(*p)) ++p;
    Magnitude m{0, *p == '-', false};
    if (*p == '+' || *p == '-') ++p;
    if (base == 16 && p[0] == '0' && (p[1] == 'x' || p[1] == 'X') && digitValue(p[2], 16) >= 0) p += 2;
    for (int digit; (digit = digitValue(*p, base)) >= 0; ++p) {
        m.found = true;
        m.value = m.value * base + digit;
        if (m.value > 0x1FFFFFFFFull) m.value = 0x1FFFFFFFFull;
    }
    if (m.found) *cursor = p;
    return m;
}

}   // namespace

std::uint32_t readUnsignedNumber(const char** cursor, int base) {
    Magnitude m = readMagnitude(cursor, base);
    if (m.value > 0xFFFFFFFFull) return 0xFFFFFFFFu;
    auto value = static_cast<std::uint32_t>(m.value);
    return m.negative ? 0u - value : value;
}

std::int32_t readSignedNumber(const char** cursor) {
    Magnitude m = readMagnitude(cursor, 10);
    if (m.negative) return m.value >= 0x80000000ull ? INT32_MIN : -static_cast<std::int32_t>(m.value);
    return m.value >= 0x7FFFFFFFull ? INT32_MAX : static_cast<std::int32_t>(m.value);
}
