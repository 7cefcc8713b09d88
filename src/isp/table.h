// The ParameterTable in the last 512 bytes of the controller's first flash
// bank: it names the installed application, carries CRCs over itself and over
// the start of the application, and holds the application's entry address.
// Read through the ROM bootloader, which must be synchronised (SYNC_BOOTLOADER).
#pragma once
#include <cstdint>

#include "isp/link.h"

constexpr std::uint32_t TABLE_MAGIC_FIRST = 0x1E3CA501;    // identity fields only
constexpr std::uint32_t TABLE_MAGIC_SECOND = 0x1E3CA502;   // adds CRCs, region and entry address
constexpr std::uint32_t TABLE_ADDRESS_512K = 0x1A07FE00;   // layout TABLE_LAYOUT_512K
constexpr std::uint32_t TABLE_ADDRESS_256K = 0x1A03FE00;   // layout TABLE_LAYOUT_256K
constexpr std::uint32_t FLASH_CONFIG_512K = 0;             // part identification's flash word
constexpr std::uint32_t FLASH_CONFIG_256K = 0x44;
constexpr std::uint32_t TABLE_REGION_MAX = 4096;   // longest region queryTable checks

enum : std::uint8_t { TABLE_LAYOUT_NONE = 0, TABLE_LAYOUT_512K = 1, TABLE_LAYOUT_256K = 2 };

// Reads the part identification and sets the link's table layout from its
// flash word; an answer spoilt on its way back is asked for again (at most
// three asks), and one still spoilt leaves no layout.
void selectTableAddress(SwitchLink& link);

// Results of queryTable: 0 success, the others the reason. The values reach
// the console in "reboot: queryTable error: %d".
enum TableResult : int {
    TABLE_OK = 0,
    TABLE_UNREADABLE = 1,        // the layout is not recognised or a read failed
    TABLE_ABSENT = 3,            // no table (magic missing)
    TABLE_REGION_TOO_LONG = 4,   // second form with a region over 4096 bytes
    TABLE_REGION_BAD_CRC = 5,    // second form whose region fails its CRC
};

// Reads the table into the link's table copy and checks it. A bad table CRC
// only prints "\nParameter table has a bad CRC!\n". With an `identity`
// (nullptr for none) it is cleared, then filled unless the result is
// TABLE_UNREADABLE or TABLE_ABSENT; its version stays 0 unless the result is
// TABLE_OK. Its model name (ownName, catalogueName) is left as it was.
TableResult queryTable(SwitchLink& link, DeviceIdentity* identity);

// Results of reboot: 0 the application was started, the others the reason.
// Its own numbers: none reaches the console.
enum RebootResult : int {
    REBOOT_STARTED = 0,
    REBOOT_NO_ENTRY = 6,           // the table is not of the second form
    REBOOT_FAILED = 7,             // unlock or go failed
    REBOOT_TABLE_UNREADABLE = 8,   // queryTable: TABLE_UNREADABLE
    REBOOT_NO_TABLE = 9,           // queryTable: TABLE_ABSENT
    REBOOT_BAD_REGION = 10,        // queryTable: TABLE_REGION_TOO_LONG or TABLE_REGION_BAD_CRC
};

// Starts the installed application from the bootloader through the table's
// entry address. A RebootResult. Every failure has a "reboot: " diagnostic
// (a failing queryTable's with its TableResult): printed, or with a `note`
// kept there instead, for a caller that tries again.
struct RebootNote {
    char text[48];
};
RebootResult reboot(SwitchLink& link, RebootNote* note = nullptr);
