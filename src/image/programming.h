// Writes one firmware image into the switch's flash through its ROM
// bootloader, verifies every block, and restarts the switch.
//
// Every function returns 0 for success and a named reason otherwise; the
// numbers reach the console in "Error %u: ..." messages, so they stay as they are.
#pragma once
#include <cstdint>

#include "image/image.h"

constexpr std::uint32_t ISP_RAM_BUFFER = 0x10000000;   // where every block is staged
constexpr std::uint32_t FLASH_BLOCK = 512;             // smallest block the bootloader copies

enum : int {
    ENTER_OK = 0,
    ENTER_NO_ANSWER = 1,           // nothing answered
    ENTER_BOOTLOADER_SILENT = 2,   // the application answered, the bootloader not after the request
};

enum : int {
    BLOCK_OK = 0,
    BLOCK_WRITE_FAILED = 1,     // the RAM write failed, or the bytes did not land where they belong
    BLOCK_MISMATCH = 2,         // the compare found a difference
    BLOCK_OUTSIDE_FLASH = 3,    // the block lies outside one flash bank
    BLOCK_COMMAND_FAILED = 4,   // a prepare, erase, copy or compare command failed
};

enum : int {
    UPDATE_DONE = 0,   // the switch runs the new application, the port is back at 19200 baud
    UPDATE_FAILED = 1,
    UPDATE_MISMATCH = 2,   // a verify mismatch
};

// Brings the switch into its ROM bootloader (synchronised, echo off, linkState
// LINK_BOOTLOADER). An ENTER_ result.
int enterBootloader();

// Bank and sector of a flash address. BLOCK_OK with both set;
// BLOCK_OUTSIDE_FLASH when the address is in no flash bank (outputs untouched).
int flashSector(std::uint32_t address, std::uint8_t* bank, std::uint8_t* sector);

// Writes `length` bytes (4 to 4096, a multiple of 4; others fail) to RAM at
// ISP_RAM_BUFFER and proves they landed there. A damaged digit in a "W"
// address can send a piece elsewhere in RAM; the buffer would then keep stale
// bytes that a copy and a compare against that same RAM both accept. With the
// bootloader's echo on, the echo of each "W" shows where it went; without, the
// words at both ends of every piece are made to differ from the block before
// the write and read back after it. BLOCK_OK or BLOCK_WRITE_FAILED.
int stageBlock(const std::uint8_t* bytes, std::uint32_t length);

// Forgets what the staging buffer held: to be called whenever the switch may
// have been reset or its RAM written by anyone else.
void forgetStagedBytes();

// Stages `length` bytes (4096, 1024 or 512) in RAM, copies them to `address`
// and compares. A BLOCK_ result.
int programBlock(std::uint32_t address, const std::uint8_t* bytes, std::uint32_t length);

// The whole pass for the image under `cursor`: an UPDATE_ result. Every
// failure has printed its message. With `readBackAll`, everything the pass
// wrote is read back from flash and checked against the image (a difference
// is cured inside the pass); otherwise only after the switch showed damage.
int updateFirmware(const ImageCursor* cursor, bool readBackAll = false);
