// The controller's flash: two banks of eight 8 KB sectors and seven of 64 KB.
#pragma once
#include <cstdint>

constexpr std::uint32_t FLASH_BLOCK = 512;   // smallest block the bootloader copies

// Bank and sector of a flash address: true with both set; false when the
// address is in no flash bank (outputs untouched).
bool flashSector(std::uint32_t address, std::uint8_t* bank, std::uint8_t* sector);

// Bounds of the sector holding a flash address.
std::uint32_t sectorStart(std::uint32_t address);
std::uint32_t sectorEnd(std::uint32_t address);
