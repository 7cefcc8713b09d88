// CRC-32 (IEEE 802.3, reflected) and the UU line format of the ISP protocol,
// written independently of the program's own so a shared mistake cannot hide.
#include "sim_internal.h"

std::uint32_t simCrc32Update(std::uint32_t reg, const std::uint8_t* bytes, std::size_t count) {
    for (std::size_t i = 0; i < count; ++i) {
        reg ^= bytes[i];
        for (int bit = 0; bit < 8; ++bit) reg = (reg >> 1) ^ (0xEDB88320u & (0u - (reg & 1u)));
    }
    return reg;
}

std::uint32_t simCrc32(const std::uint8_t* bytes, std::size_t count) {
    return ~simCrc32Update(0xFFFFFFFFu, bytes, count);
}

static char uuChar(unsigned sextet) {
    return sextet == 0 ? '`' : static_cast<char>(0x20 + sextet);
}

std::string simUuEncode(const std::uint8_t* bytes, std::size_t count) {
    std::string line(1, uuChar(static_cast<unsigned>(count)));
    for (std::size_t i = 0; i < count; i += 3) {
        const unsigned b0 = bytes[i];
        const unsigned b1 = i + 1 < count ? bytes[i + 1] : 0;
        const unsigned b2 = i + 2 < count ? bytes[i + 2] : 0;
        line += uuChar(b0 >> 2);
        line += uuChar(((b0 << 4) | (b1 >> 4)) & 0x3F);
        line += uuChar(((b1 << 2) | (b2 >> 6)) & 0x3F);
        line += uuChar(b2 & 0x3F);
    }
    return line;
}

static unsigned uuValue(std::string_view line, std::size_t index) {
    return index < line.size() ? (static_cast<unsigned char>(line[index]) - 0x20u) & 0x3Fu : 0u;
}

std::size_t simUuDecode(std::string_view line, std::uint8_t* out, std::size_t limit) {
    std::size_t count = uuValue(line, 0);
    if (count > limit) count = limit;
    for (std::size_t i = 0; i < count; ++i) {
        const std::size_t group = 1 + (i / 3) * 4;
        const unsigned s0 = uuValue(line, group), s1 = uuValue(line, group + 1);
        const unsigned s2 = uuValue(line, group + 2), s3 = uuValue(line, group + 3);
        const unsigned word = (s0 << 18) | (s1 << 12) | (s2 << 6) | s3;
        out[i] = static_cast<std::uint8_t>(word >> (16 - 8 * (i % 3)));
    }
    return count;
}
