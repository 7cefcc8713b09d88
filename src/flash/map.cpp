#include "flash/map.h"

namespace {

constexpr std::uint32_t BANK_BASES[] = {0x1A000000, 0x1B000000};
constexpr std::uint32_t BANK_SIZE = 0x80000;
constexpr std::uint32_t SMALL_SECTOR = 0x2000, LARGE_SECTOR = 0x10000;
constexpr int SMALL_SECTORS = 8, LARGE_SECTORS = 7;
static_assert(SMALL_SECTORS * SMALL_SECTOR + LARGE_SECTORS * LARGE_SECTOR == BANK_SIZE, "the sectors fill a bank");

struct SectorPlace {
    std::uint32_t start;   // offset in its bank
    std::uint32_t size;
    std::uint8_t number;
};

SectorPlace sectorAt(std::uint32_t offset) {
    constexpr std::uint32_t smallEnd = SMALL_SECTORS * SMALL_SECTOR;
    if (offset < smallEnd)
        return {offset / SMALL_SECTOR * SMALL_SECTOR, SMALL_SECTOR, static_cast<std::uint8_t>(offset / SMALL_SECTOR)};
    const std::uint32_t large = (offset - smallEnd) / LARGE_SECTOR;
    return {smallEnd + large * LARGE_SECTOR, LARGE_SECTOR, static_cast<std::uint8_t>(SMALL_SECTORS + large)};
}

// Addresses outside both banks are treated as the bank's pattern repeats:
// the pass only ever asks about addresses flashSector accepted.
SectorPlace sectorOf(std::uint32_t address) {
    return sectorAt(address % BANK_SIZE);
}

}   // namespace

bool flashSector(std::uint32_t address, std::uint8_t* bank, std::uint8_t* sector) {
    for (std::uint8_t index = 0; index < 2; ++index) {
        if (address < BANK_BASES[index] || address - BANK_BASES[index] >= BANK_SIZE) continue;
        *bank = index;
        *sector = sectorAt(address - BANK_BASES[index]).number;
        return true;
    }
    return false;
}

std::uint32_t sectorStart(std::uint32_t address) {
    return address - address % BANK_SIZE + sectorOf(address).start;
}

std::uint32_t sectorEnd(std::uint32_t address) {
    return sectorStart(address) + sectorOf(address).size;
}
