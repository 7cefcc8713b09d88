// What is known of the attached switch, and how the link to it stands.
#pragma once
#include <cstdint>

struct DeviceIdentity {
    std::uint16_t productId;
    std::uint16_t pcbRevision;   // counts from 1
    std::uint16_t auxByte1;      // parameter table bytes 45 and 44; stored, unused
    std::uint16_t auxByte2;
    std::uint32_t version;   // 0: none known
    // The name is held so that a copy of the record names the same model: a
    // pointer into nameText would still point into the original.
    const char* catalogueName;   // constant text that outlives every record, or nullptr
    bool ownName;                // the name is nameText; catalogueName is then ignored
    char nameText[33];           // 32 characters and a terminator that is always there
};

// The model's name (nameText or the catalogue's), or nullptr when none is known.
inline const char* modelNameOf(const DeviceIdentity& identity) {
    return identity.ownName ? identity.nameText : identity.catalogueName;
}

// Byte offsets of the table's fields. Every multi-byte field is an unsigned
// 32-bit little-endian word (littleEndianWord).
struct ParameterTable {
    static constexpr int SIZE = 512;
    static constexpr int APP_LENGTH = 0;
    static constexpr int VERSION = 4;
    static constexpr int MODEL_NAME = 8;   // 32 ASCII bytes, NUL-terminated when shorter
    static constexpr int MODEL_NAME_LENGTH = 32;
    static constexpr int MAGIC = 40;
    static constexpr int IDENTITY_WORD = 44;   // bytes 47 product id, 46 PCB revision, 45 and 44 aux
    static constexpr int AUX_BYTE2 = 44;
    static constexpr int AUX_BYTE1 = 45;
    static constexpr int PCB_REVISION = 46;
    static constexpr int PRODUCT_ID = 47;
    // Second form only:
    static constexpr int CRC_LENGTH = 48;   // bytes covered by the table CRC, itself included
    static constexpr int REGION_ADDRESS = 52;
    static constexpr int REGION_LENGTH = 56;
    static constexpr int REGION_CRC = 60;
    static constexpr int ENTRY_ADDRESS = 132;   // reset vector, bit 0 set for Thumb
};

// The parameter table as last read from the switch, and where it lies.
struct TableCopy {
    std::uint8_t bytes[ParameterTable::SIZE];
    std::uint8_t layout;   // a TABLE_LAYOUT_ value, rewritten by every queryTable
};

enum : int {
    LINK_NONE = 0,                  // no usable link
    LINK_APPLICATION = 1,           // the switch application answers
    LINK_BOOTLOADER = 2,            // the ROM bootloader answers, a parameter table present
    LINK_BOOTLOADER_NO_TABLE = 3,   // the ROM bootloader answers, no table
};
