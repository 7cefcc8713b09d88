#include "isp/table.h"

#include <cstring>

#include "crc32/crc32.h"
#include "format/sinks.h"
#include "isp/isp.h"
#include "isp/line.h"

namespace {

constexpr int PART_ID_ASKS = 3;   // a spoilt part identification is asked for again

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

void fillIdentity(SwitchLink& link, DeviceIdentity* identity, TableResult result) {
    identity->version = result == TABLE_OK ? littleEndianWord(link.table.bytes + ParameterTable::VERSION) : 0;
    identity->productId = link.table.bytes[ParameterTable::PRODUCT_ID];
    identity->pcbRevision = link.table.bytes[ParameterTable::PCB_REVISION];
    identity->auxByte1 = link.table.bytes[ParameterTable::AUX_BYTE1];
    identity->auxByte2 = link.table.bytes[ParameterTable::AUX_BYTE2];
    copyModelName(identity->nameText, link.table.bytes + ParameterTable::MODEL_NAME);
}

// The table CRC covers the table from its start, its own CRC included, so an
// intact table leaves the residue in the register. A bad one only warns.
void checkTableCrc(SwitchLink& link) {
    std::uint32_t covered = littleEndianWord(link.table.bytes + ParameterTable::CRC_LENGTH);
    std::uint32_t crc = ~CRC32_RESIDUE;   // can never match
    if (covered <= ParameterTable::SIZE) crc = crc32Update(crc32Init(), link.table.bytes, covered);
    if (crc != CRC32_RESIDUE) sinkPutString(link.out, "\nParameter table has a bad CRC!\n");
}

// Compares the start of the application with the CRC the table holds for it.
TableResult checkRegion(SwitchLink& link) {
    std::uint32_t length = littleEndianWord(link.table.bytes + ParameterTable::REGION_LENGTH);
    if (length > TABLE_REGION_MAX) return TABLE_REGION_TOO_LONG;
    std::uint8_t region[TABLE_REGION_MAX];
    std::uint32_t address = littleEndianWord(link.table.bytes + ParameterTable::REGION_ADDRESS);
    if (nxpRead(link, region, address, static_cast<std::int32_t>(length)) < 1) return TABLE_UNREADABLE;
    std::uint32_t crc = crc32Final(crc32Update(crc32Init(), region, length));
    return crc == littleEndianWord(link.table.bytes + ParameterTable::REGION_CRC) ? TABLE_OK : TABLE_REGION_BAD_CRC;
}

}   // namespace

void selectTableAddress(SwitchLink& link) {
    PartId part{};
    PartIdResult result = nxpReadPartId(link, &part);
    for (int ask = 1; ask < PART_ID_ASKS && result == PART_ID_SPOILT; ++ask) {
        drainInput(link);
        result = nxpReadPartId(link, &part);
    }
    if (result == PART_ID_SPOILT) {   // its numbers cannot be trusted
        link.table.layout = TABLE_LAYOUT_NONE;
    } else if (part.flashConfig == FLASH_CONFIG_512K) {
        link.table.layout = TABLE_LAYOUT_512K;
    } else if (part.flashConfig == FLASH_CONFIG_256K) {
        link.table.layout = TABLE_LAYOUT_256K;
    } else {
        link.table.layout = TABLE_LAYOUT_NONE;
    }
}

TableResult queryTable(SwitchLink& link, DeviceIdentity* identity) {
    if (identity != nullptr) clearIdentity(identity);
    selectTableAddress(link);
    if (link.table.layout == TABLE_LAYOUT_NONE) return TABLE_UNREADABLE;
    std::uint32_t address = link.table.layout == TABLE_LAYOUT_512K ? TABLE_ADDRESS_512K : TABLE_ADDRESS_256K;
    if (nxpRead(link, link.table.bytes, address, ParameterTable::SIZE) < 1) return TABLE_UNREADABLE;
    std::uint32_t magic = littleEndianWord(link.table.bytes + ParameterTable::MAGIC);
    if (magic != TABLE_MAGIC_SECOND && magic != TABLE_MAGIC_FIRST) return TABLE_ABSENT;
    TableResult result = TABLE_OK;
    if (magic == TABLE_MAGIC_SECOND) {
        checkTableCrc(link);
        result = checkRegion(link);
        if (result == TABLE_UNREADABLE) return result;
    }
    if (identity != nullptr) fillIdentity(link, identity, result);
    return result;
}
