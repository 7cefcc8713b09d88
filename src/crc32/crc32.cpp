#include "crc32/crc32.h"

#include <array>

namespace {
constexpr std::uint32_t REFLECTED_POLYNOMIAL = 0xEDB88320;
constexpr std::uint32_t CRC32_PRESET = 0xFFFFFFFF;

// Entry i: the register after shifting i through four steps of the polynomial.
constexpr std::array<std::uint32_t, 16> makeNibbleTable() {
    std::array<std::uint32_t, 16> table{};
    for (std::uint32_t i = 0; i < table.size(); ++i) {
        std::uint32_t value = i;
        for (int step = 0; step < 4; ++step) {
            value = (value & 1) != 0 ? (value >> 1) ^ REFLECTED_POLYNOMIAL : value >> 1;
        }
        table[i] = value;
    }
    return table;
}

constexpr std::array<std::uint32_t, 16> CRC32_NIBBLE_TABLE = makeNibbleTable();
static_assert(CRC32_NIBBLE_TABLE.size() == 16, "one entry per nibble");
static_assert(CRC32_NIBBLE_TABLE[1] == 0x1DB71064);
static_assert(CRC32_NIBBLE_TABLE[8] == 0xEDB88320);
static_assert(CRC32_NIBBLE_TABLE[15] == 0xBDBDF21C);

constexpr std::uint32_t crc32Nibble(std::uint32_t crc, std::uint32_t nibble) {
    return CRC32_NIBBLE_TABLE[(crc ^ nibble) & 0xF] ^ (crc >> 4);
}
}   // namespace

std::uint32_t crc32Init() {
    return CRC32_PRESET;
}

std::uint32_t crc32Update(std::uint32_t crc, const void* bytes, std::uint64_t count) {
    const auto* byte = static_cast<const std::uint8_t*>(bytes);
    for (std::uint64_t i = 0; i < count; ++i) {
        crc = crc32Nibble(crc, byte[i]);   // low nibble first: the CRC is bit-reflected
        crc = crc32Nibble(crc, byte[i] >> 4);
    }
    return crc;
}

std::uint32_t crc32Final(std::uint32_t crc) {
    return ~crc;
}
