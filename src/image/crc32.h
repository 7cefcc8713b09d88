// CRC-32 of IEEE 802.3 (zlib, PKZIP), four bits at a time over a 16-entry
// table. The register is the caller's; there is no hidden state.
#pragma once
#include <cstdint>

constexpr std::uint32_t CRC32_RESIDUE = 0xDEBB20E3;   // register after data + its own CRC

std::uint32_t crc32Init();
std::uint32_t crc32Update(std::uint32_t crc, const void* bytes, std::uint64_t count);
std::uint32_t crc32Final(std::uint32_t crc);
