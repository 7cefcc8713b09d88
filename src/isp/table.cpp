#include "isp/table.h"

#include <cstring>

#include "format/sinks.h"
#include "image/crc32.h"
#include "isp/isp.h"

std::uint8_t tableLayout = TABLE_LAYOUT_NONE;
std::uint8_t tableImage[ParameterTable::SIZE];

namespace {

void clearIdentity(DeviceIdentity* identity) {
    identity->version = 0;
    identity->productId = 0;
    identity->pcbRevision = 0;
    identity->auxByte1 = 0;
    identity->auxByte2 = 0;
    identity->nameText[0] = '\0';
}

// The name is printed as it stands: keep only printable characters, as the
// line reader does for the application's version reply, so a damaged table
// cannot send control sequences to the console. A name filling all 32 bytes
// has no terminator in the table.
void copyModelName(char* out, const std::uint8_t* name) {
    int length = 0;
    for (int i = 0; i < ParameterTable::MODEL_NAME_LENGTH && name[i] != '\0'; ++i) {
        if (name[i] >= 0x20 && name[i] < 0x7F) out[length++] = static_cast<char>(name[i]);
    }
    out[length] = '\0';
}

void fillIdentity(DeviceIdentity* identity, int result) {
    identity->version = result == TABLE_OK ? tableWord(tableImage, ParameterTable::VERSION) : 0;
    identity->productId = tableImage[ParameterTable::PRODUCT_ID];
    identity->pcbRevision = tableImage[ParameterTable::PCB_REVISION];
    identity->auxByte1 = tableImage[ParameterTable::AUX_BYTE1];
    identity->auxByte2 = tableImage[ParameterTable::AUX_BYTE2];
    copyModelName(identity->nameText, tableImage + ParameterTable::MODEL_NAME);
}

// The table CRC covers the table from its start, its own CRC included, so an
// intact table leaves the residue in the register. A bad one only warns.
void checkTableCrc() {
    std::uint32_t covered = tableWord(tableImage, ParameterTable::CRC_LENGTH);
    std::uint32_t crc = ~CRC32_RESIDUE;   // can never match
    if (covered <= ParameterTable::SIZE) crc = crc32Update(crc32Init(), tableImage, covered);
    if (crc != CRC32_RESIDUE) consolePutString("\nParameter table has a bad CRC!\n");
}

// Compares the start of the application with the CRC the table holds for it.
int checkRegion() {
    std::uint32_t length = tableWord(tableImage, ParameterTable::REGION_LENGTH);
    if (length > TABLE_REGION_MAX) return TABLE_REGION_TOO_LONG;
    std::uint8_t region[TABLE_REGION_MAX];
    std::uint32_t address = tableWord(tableImage, ParameterTable::REGION_ADDRESS);
    if (nxpRead(region, address, static_cast<std::int32_t>(length)) < 1) return TABLE_UNREADABLE;
    std::uint32_t crc = crc32Final(crc32Update(crc32Init(), region, length));
    return crc == tableWord(tableImage, ParameterTable::REGION_CRC) ? TABLE_OK : TABLE_REGION_BAD_CRC;
}

}   // namespace

std::uint32_t tableWord(const std::uint8_t* table, int offset) {
    const std::uint8_t* b = table + offset;
    return static_cast<std::uint32_t>(b[0]) | static_cast<std::uint32_t>(b[1]) << 8 |
           static_cast<std::uint32_t>(b[2]) << 16 | static_cast<std::uint32_t>(b[3]) << 24;
}

void selectTableAddress() {
    PartId part{};
    nxpReadPartId(&part);
    if (part.flashConfig == FLASH_CONFIG_512K) {
        tableLayout = TABLE_LAYOUT_512K;
    } else if (part.flashConfig == FLASH_CONFIG_256K) {
        tableLayout = TABLE_LAYOUT_256K;
    } else {
        tableLayout = TABLE_LAYOUT_NONE;
    }
}

int queryTable(DeviceIdentity* identity) {
    if (identity != nullptr) clearIdentity(identity);
    selectTableAddress();
    if (tableLayout == TABLE_LAYOUT_NONE) return TABLE_UNREADABLE;
    std::uint32_t address = tableLayout == TABLE_LAYOUT_512K ? TABLE_ADDRESS_512K : TABLE_ADDRESS_256K;
    if (nxpRead(tableImage, address, ParameterTable::SIZE) < 1) return TABLE_UNREADABLE;
    std::uint32_t magic = tableWord(tableImage, ParameterTable::MAGIC);
    if (magic != TABLE_MAGIC_SECOND && magic != TABLE_MAGIC_FIRST) return TABLE_ABSENT;
    int result = TABLE_OK;
    if (magic == TABLE_MAGIC_SECOND) {
        checkTableCrc();
        result = checkRegion();
        if (result == TABLE_UNREADABLE) return result;
    }
    if (identity != nullptr) fillIdentity(identity, result);
    return result;
}
