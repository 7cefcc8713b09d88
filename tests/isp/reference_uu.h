// An independent UU line encoder for building expected wire text: it streams
// the bits through an accumulator instead of working in groups of three.
#pragma once
#include <cstdint>
#include <string>
#include <vector>

inline std::string referenceUuLine(const std::uint8_t* data, std::size_t n) {
    auto put = [](unsigned sextet) { return static_cast<char>(sextet == 0 ? '`' : ' ' + sextet); };
    std::string line(1, put(static_cast<unsigned>(n)));
    std::uint32_t bits = 0;
    int held = 0;
    std::size_t padded = (n + 2) / 3 * 3;
    for (std::size_t i = 0; i < padded; ++i) {
        bits = (bits << 8) | (i < n ? data[i] : 0u);
        held += 8;
        while (held >= 6) {
            held -= 6;
            line += put((bits >> held) & 0x3F);
        }
    }
    return line;
}

// The lines and checksum of one chunk as the ISP protocol sends them.
inline std::string referenceChunk(const std::uint8_t* data, std::size_t n) {
    std::string text;
    std::uint32_t sum = 0;
    for (std::size_t i = 0; i < n; i += 45) {
        std::size_t take = n - i < 45 ? n - i : 45;
        text += referenceUuLine(data + i, take) + "\r\n";
    }
    for (std::size_t i = 0; i < n; ++i) sum += data[i];
    return text + std::to_string(sum) + "\r\n";
}
