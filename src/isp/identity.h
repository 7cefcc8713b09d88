// What is known of the attached switch, and how the link to it stands.
#pragma once
#include <cstdint>

struct DeviceIdentity {
    std::uint16_t productId;
    std::uint16_t pcbRevision;   // counts from 1
    std::uint16_t auxByte1;      // parameter table bytes 45 and 44; stored, unused
    std::uint16_t auxByte2;
    std::uint32_t version;   // 0: none known
    const char* modelName;   // nameText, a catalogue name, or nullptr
    char nameText[33];       // 32 characters and a terminator that is always there
};

extern DeviceIdentity deviceIdentity;   // the attached switch

enum : int {
    LINK_NONE = 0,                  // no usable link
    LINK_APPLICATION = 1,           // the switch application answers
    LINK_BOOTLOADER = 2,            // the ROM bootloader answers, a parameter table present
    LINK_BOOTLOADER_NO_TABLE = 3,   // the ROM bootloader answers, no table
};
extern int linkState;
