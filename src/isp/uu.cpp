#include "isp/uu.h"

namespace {

// 0 goes out as a grave accent, not a space, so no line carries blanks.
char sextetChar(unsigned value) {
    value &= 0x3F;
    return static_cast<char>(value == 0 ? 0x60 : 0x20 + value);
}

char* encodeGroup(char* out, unsigned b0, unsigned b1, unsigned b2) {
    *out++ = sextetChar(b0 >> 2);
    *out++ = sextetChar(((b0 & 0x03) << 4) | (b1 >> 4));
    *out++ = sextetChar(((b1 & 0x0F) << 2) | (b2 >> 6));
    *out++ = sextetChar(b2);
    return out;
}

// Hands out the sextets of a line and stops at its terminator: a short line
// yields zero sextets for its missing characters instead of reading beyond.
struct SextetReader {
    const char* next;
    unsigned take() {
        if (*next == '\0') return 0;
        return (static_cast<unsigned char>(*next++) - 0x20u) & 0x3F;
    }
};

}   // namespace

char* uuEncodeLine(char* out, const std::uint8_t* data, int n) {
    *out++ = sextetChar(static_cast<unsigned>(n));
    int index = 0;
    for (; n - index > 2; index += 3) out = encodeGroup(out, data[index], data[index + 1], data[index + 2]);
    if (n - index > 0) {
        unsigned b1 = n - index == 2 ? data[index + 1] : 0;
        out = encodeGroup(out, data[index], b1, 0);
    }
    *out = '\0';
    return out;
}

int uuDecodeLine(std::uint8_t* out, const char* line, int limit) {
    if (*line == '\0' || limit < 1) return 0;
    SextetReader reader{line};
    int count = static_cast<int>(reader.take());
    if (count > limit) count = limit;
    for (int stored = 0; stored < count;) {
        unsigned c0 = reader.take();
        unsigned c1 = reader.take();
        out[stored++] = static_cast<std::uint8_t>((c0 << 2) | (c1 >> 4));
        if (stored == count) break;
        unsigned c2 = reader.take();
        out[stored++] = static_cast<std::uint8_t>((c1 << 4) | (c2 >> 2));
        if (stored == count) break;
        unsigned c3 = reader.take();
        out[stored++] = static_cast<std::uint8_t>((c2 << 6) | c3);
    }
    return count;
}
