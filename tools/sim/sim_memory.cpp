// The controller's memory: two flash banks laid out by the flash-configuration
// word, the two RAM blocks, the installed firmware and the state file.
#include "sim_internal.h"

#include <cstdio>
#include <cstring>

namespace {

constexpr std::uint32_t SMALL_SECTOR = 8 * 1024;
constexpr std::uint32_t LARGE_SECTOR = 64 * 1024;
constexpr std::uint32_t TABLE_CRC_LENGTH = 144;
constexpr std::uint32_t REGION_LENGTH = 512;
constexpr char STATE_MAGIC[8] = {'B', 'M', 'F', 'W', 'U', 'S', 'I', 'M'};
constexpr std::uint32_t STATE_VERSION = 1;

std::uint32_t bankSizeFor(std::uint32_t flashConfig) {
    switch (flashConfig & 0xFF) {
    case 0x22: return 384 * 1024;
    case 0x44: return 256 * 1024;
    default: return 512 * 1024;
    }
}

}   // namespace

std::uint32_t simLoad32(const std::uint8_t* bytes) {
    return bytes[0] | (bytes[1] << 8) | (bytes[2] << 16) | (static_cast<std::uint32_t>(bytes[3]) << 24);
}

void simStore32(std::uint8_t* bytes, std::uint32_t value) {
    for (int i = 0; i < 4; ++i) bytes[i] = static_cast<std::uint8_t>(value >> (8 * i));
}

void simMemoryInit(SimMemory& memory, std::uint32_t flashConfig) {
    memory.bankSize = bankSizeFor(flashConfig);
    memory.bankCount = (flashConfig & 0xFF) == 0x80 ? 1 : 2;
    memory.sectorCount = 8 + (memory.bankSize - LARGE_SECTOR) / LARGE_SECTOR;
    for (auto& bank : memory.bank) bank.assign(SIM_BANK_MAX, 0xFF);
    memory.ram0.assign(SIM_RAM0_SIZE, 0);
    memory.ram1.assign(SIM_RAM1_SIZE, 0);
}

static std::uint8_t* inside(std::vector<std::uint8_t>& block, std::uint32_t base, std::uint32_t size,
                            std::uint32_t address, std::uint32_t count) {
    if (address < base || address - base > size || count > size - (address - base)) return nullptr;
    return block.data() + (address - base);
}

std::uint8_t* simMapFlash(SimMemory& memory, std::uint32_t address, std::uint32_t count, std::uint32_t* bank) {
    for (std::uint32_t b = 0; b < memory.bankCount; ++b) {
        const std::uint32_t base = b == 0 ? SIM_BANK_A : SIM_BANK_B;
        if (std::uint8_t* bytes = inside(memory.bank[b], base, memory.bankSize, address, count)) {
            if (bank) *bank = b;
            return bytes;
        }
    }
    return nullptr;
}

std::uint8_t* simMapRam(SimMemory& memory, std::uint32_t address, std::uint32_t count) {
    if (std::uint8_t* bytes = inside(memory.ram0, SIM_RAM0, SIM_RAM0_SIZE, address, count)) return bytes;
    return inside(memory.ram1, SIM_RAM1, SIM_RAM1_SIZE, address, count);
}

std::uint8_t* simMap(SimMemory& memory, std::uint32_t address, std::uint32_t count) {
    if (std::uint8_t* bytes = simMapFlash(memory, address, count, nullptr)) return bytes;
    return simMapRam(memory, address, count);
}

std::uint32_t simSectorSize(std::uint32_t sector) {
    return sector < 8 ? SMALL_SECTOR : LARGE_SECTOR;
}

std::uint32_t simSectorStart(const SimMemory&, std::uint32_t sector) {
    return sector < 8 ? sector * SMALL_SECTOR : LARGE_SECTOR + (sector - 8) * LARGE_SECTOR;
}

std::uint32_t simSectorOf(std::uint32_t offset) {
    return offset < LARGE_SECTOR ? offset / SMALL_SECTOR : 8 + (offset - LARGE_SECTOR) / LARGE_SECTOR;
}

std::uint32_t simTableAddress(std::uint32_t flashConfig) {
    return SIM_BANK_A + bankSizeFor(flashConfig) - 512;
}

void simBuildApplication(const SimFlashImage& image, std::uint8_t out[512]) {
    for (std::uint32_t i = 0; i < 512; ++i) out[i] = static_cast<std::uint8_t>(i * 7 + image.productId);
    // A Cortex-M vector table: stack top, reset and fault handlers, and in the
    // eighth word the checksum that makes the first eight words sum to zero.
    simStore32(out, SIM_RAM0 + SIM_RAM0_SIZE);
    std::uint32_t sum = SIM_RAM0 + SIM_RAM0_SIZE;
    for (int word = 1; word < 7; ++word) {
        simStore32(out + 4 * word, image.entryAddress);
        sum += image.entryAddress;
    }
    simStore32(out + 28, 0u - sum);
    // Like the real firmware, it ends in the CRC of everything before it.
    simStore32(out + 508, simCrc32(out, 508));
}

void simBuildTable(const SimFlashImage& image, const std::uint8_t application[512], std::uint8_t out[512]) {
    std::memset(out, 0xFF, 512);
    simStore32(out, 512);
    simStore32(out + 4, image.version);
    const std::size_t nameLength = image.modelName.size() < 32 ? image.modelName.size() : 32;
    std::memcpy(out + 8, image.modelName.data(), nameLength);
    if (nameLength < 32) out[8 + nameLength] = 0;
    const bool second = image.kind != SIM_FLASH_FIRST_FORM;
    simStore32(out + 40, second ? SIM_TABLE_MAGIC_SECOND : SIM_TABLE_MAGIC_FIRST);
    simStore32(out + 44, (std::uint32_t{image.productId} << 24) | (std::uint32_t{image.pcbRevision} << 16));
    if (!second) return;
    simStore32(out + 48, TABLE_CRC_LENGTH);
    simStore32(out + 52, SIM_BANK_A);
    simStore32(out + 56, REGION_LENGTH);
    const std::uint32_t regionCrc = simCrc32(application, REGION_LENGTH);
    simStore32(out + 60, image.badRegionCrc ? regionCrc ^ 0x00010000 : regionCrc);
    simStore32(out + 132, image.entryAddress);
    simStore32(out + 136, 0);
    simStore32(out + TABLE_CRC_LENGTH - 4, simCrc32(out, TABLE_CRC_LENGTH - 4));
}

void simInstallFlash(SimMemory& memory, std::uint32_t flashConfig, const SimFlashImage& image) {
    for (auto& bank : memory.bank) bank.assign(SIM_BANK_MAX, 0xFF);
    if (image.kind == SIM_FLASH_BLANK) return;
    std::uint8_t* application = memory.bank[0].data();
    simBuildApplication(image, application);
    simBuildTable(image, application, memory.bank[0].data() + (simTableAddress(flashConfig) - SIM_BANK_A));
}

bool simTableRunnable(SimMemory& memory, std::uint32_t flashConfig) {
    const std::uint8_t* table = simMapFlash(memory, simTableAddress(flashConfig), 512, nullptr);
    if (!table) return false;
    const std::uint32_t magic = simLoad32(table + 40);
    if (magic == SIM_TABLE_MAGIC_FIRST) return true;
    if (magic != SIM_TABLE_MAGIC_SECOND) return false;
    const std::uint32_t crcLength = simLoad32(table + 48);
    if (crcLength < 4 || crcLength > 512 || simCrc32Update(0xFFFFFFFFu, table, crcLength) != SIM_CRC_RESIDUE)
        return false;
    const std::uint32_t regionLength = simLoad32(table + 56);
    const std::uint8_t* region = simMapFlash(memory, simLoad32(table + 52), regionLength, nullptr);
    return region && regionLength > 0 && regionLength <= 4096 &&
           simCrc32(region, regionLength) == simLoad32(table + 60);
}

bool simVectorChecksumOk(SimMemory& memory, std::uint32_t bank) {
    if (bank >= memory.bankCount) return false;
    std::uint32_t sum = 0;
    for (int word = 0; word < 8; ++word) sum += simLoad32(memory.bank[bank].data() + 4 * word);
    return sum == 0;
}

bool simApplicationWhole(SimMemory& memory, std::uint32_t bank) {
    // The application ends in a CRC of what precedes it, so the running CRC
    // meets the residue exactly where a whole application ends.
    if (bank >= memory.bankCount) return false;
    const std::uint8_t* bytes = memory.bank[bank].data();
    std::uint32_t reg = simCrc32Update(0xFFFFFFFFu, bytes, 32);
    for (std::uint32_t end = 32; end < memory.bankSize; end += 4) {
        reg = simCrc32Update(reg, bytes + end, 4);
        if (reg == SIM_CRC_RESIDUE) return true;
    }
    return false;
}

int simStateLoad(const std::string& path, SimMemory& memory, std::uint32_t& bootBank) {
    std::FILE* file = std::fopen(path.c_str(), "rb");
    if (!file) return 1;
    char magic[8];
    std::uint8_t words[8];
    bool ok = std::fread(magic, 1, 8, file) == 8 && std::memcmp(magic, STATE_MAGIC, 8) == 0 &&
              std::fread(words, 1, 8, file) == 8 && simLoad32(words) == STATE_VERSION;
    std::vector<std::uint8_t> banks[2];
    for (auto& bank : banks) {
        bank.resize(SIM_BANK_MAX);
        ok = ok && std::fread(bank.data(), 1, SIM_BANK_MAX, file) == SIM_BANK_MAX;
    }
    ok = ok && std::fgetc(file) == EOF;
    std::fclose(file);
    if (!ok) return 2;
    memory.bank[0].swap(banks[0]);
    memory.bank[1].swap(banks[1]);
    bootBank = simLoad32(words + 4) & 1;
    return 0;
}

int simStateSave(const std::string& path, const SimMemory& memory, std::uint32_t bootBank) {
    // Written beside the file and renamed over it, so a kill mid-save keeps the old state.
    const std::string temporary = path + ".tmp";
    std::FILE* file = std::fopen(temporary.c_str(), "wb");
    if (!file) return 1;
    std::uint8_t words[8];
    simStore32(words, STATE_VERSION);
    simStore32(words + 4, bootBank);
    bool ok = std::fwrite(STATE_MAGIC, 1, 8, file) == 8 && std::fwrite(words, 1, 8, file) == 8;
    for (const auto& bank : memory.bank) ok = ok && std::fwrite(bank.data(), 1, SIM_BANK_MAX, file) == SIM_BANK_MAX;
    ok = std::fclose(file) == 0 && ok;
    if (!ok || std::rename(temporary.c_str(), path.c_str()) != 0) {
        std::remove(temporary.c_str());
        return 1;
    }
    return 0;
}
