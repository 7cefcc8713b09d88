#include "crc32/crc32.h"

#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <string>
#include <vector>

namespace {
using Bytes = std::vector<std::uint8_t>;

// One bit at a time, straight from the polynomial: shares nothing with the table.
std::uint32_t bitwiseCrc(const Bytes& data) {
    std::uint32_t crc = 0xFFFFFFFF;
    for (const std::uint8_t byte : data) {
        crc ^= byte;
        for (int bit = 0; bit < 8; ++bit) crc = (crc >> 1) ^ (0xEDB88320 & (0u - (crc & 1)));
    }
    return ~crc;
}

std::uint32_t crcOf(const void* data, std::size_t count) {
    return crc32Final(crc32Update(crc32Init(), data, count));
}

Bytes randomBytes(std::mt19937& random, std::size_t count) {
    Bytes bytes(count);
    for (std::uint8_t& byte : bytes) byte = static_cast<std::uint8_t>(random());
    return bytes;
}

void appendLe32(Bytes& bytes, std::uint32_t value) {
    for (int i = 0; i < 4; ++i) bytes.push_back(static_cast<std::uint8_t>(value >> (8 * i)));
}

TEST(Crc32, StandardCheckValues) {
    const struct {
        const char* text;
        std::uint32_t crc;
    } cases[] = {
        {"", 0x00000000},
        {"a", 0xE8B7BE43},
        {"abc", 0x352441C2},
        {"123456789", 0xCBF43926},
        {"The quick brown fox jumps over the lazy dog", 0x414FA339},
    };
    for (const auto& c : cases) EXPECT_EQ(crcOf(c.text, std::strlen(c.text)), c.crc) << '"' << c.text << '"';
}

TEST(Crc32, ZeroCountLeavesAnyRegisterUnchanged) {
    for (const std::uint32_t crc : {0x00000000u, 0xFFFFFFFFu, 0x12345678u}) EXPECT_EQ(crc32Update(crc, "x", 0), crc);
}

TEST(Crc32, MatchesBitwiseCrcOnRandomDataWholeAndInPieces) {
    std::mt19937 random(20240607);
    for (const std::size_t length : {1u, 2u, 3u, 15u, 16u, 17u, 255u, 1000u, 4099u}) {
        const Bytes data = randomBytes(random, length);
        EXPECT_EQ(crcOf(data.data(), data.size()), bitwiseCrc(data)) << length;
        const std::size_t split = random() % (length + 1);
        const std::uint32_t first = crc32Update(crc32Init(), data.data(), split);
        const std::uint32_t both = crc32Update(first, data.data() + split, length - split);
        EXPECT_EQ(crc32Final(both), bitwiseCrc(data)) << length << " split at " << split;
    }
}

TEST(Crc32, DataFollowedByItsCrcLeavesTheResidue) {
    std::mt19937 random(7);
    for (const std::size_t length : {0u, 1u, 9u, 512u, 3001u}) {
        Bytes region = randomBytes(random, length);
        appendLe32(region, crcOf(region.data(), region.size()));
        const std::uint32_t residue = crc32Update(crc32Init(), region.data(), region.size());
        EXPECT_EQ(residue, CRC32_RESIDUE) << length;
        EXPECT_EQ(crc32Final(residue), 0x2144DF1Cu) << length;
    }
}

TEST(Crc32, EverySingleBitFlipBreaksTheResidue) {
    std::mt19937 random(99);
    Bytes region = randomBytes(random, 60);
    appendLe32(region, crcOf(region.data(), region.size()));
    for (std::size_t bit = 0; bit < region.size() * 8; ++bit) {
        Bytes damaged = region;
        damaged[bit / 8] ^= static_cast<std::uint8_t>(1u << (bit % 8));
        EXPECT_NE(crc32Update(crc32Init(), damaged.data(), damaged.size()), CRC32_RESIDUE) << "bit " << bit;
    }
}
}   // namespace
