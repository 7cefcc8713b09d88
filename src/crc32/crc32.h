// CRC-32 of IEEE 802.3 (zlib, PKZIP), four bits at a time over a 16-entry
// table. The register is the caller's; there is no hidden state.
#pragma once
#include <cstdint>

constexpr std::uint32_t CRC32_RESIDUE = 0xDEBB20E3;   // register after data + its own CRC

std::uint32_t crc32Init();
std::uint32_t crc32Update(std::uint32_t crc, const void* bytes, std::uint64_t count);
std::uint32_t crc32Final(std::uint32_t crc);

// The little-endian word at `bytes`: how a stored CRC, and every word the
// switch's flash and the image container hold, are kept. Never cast instead.
inline std::uint32_t littleEndianWord(const std::uint8_t* bytes) {
    return static_cast<std::uint32_t>(bytes[0]) | static_cast<std::uint32_t>(bytes[1]) << 8 |
           static_cast<std::uint32_t>(bytes[2]) << 16 | static_cast<std::uint32_t>(bytes[3]) << 24;
}
