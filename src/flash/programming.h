// Writes one firmware image into the switch's flash through its ROM
// bootloader, verifies every block, and restarts the switch.
//
// Every function returns 0 for success and a named reason otherwise; the
// numbers reach the console in "Error %u: ..." messages, so they stay as they are.
#pragma once
#include <cstdint>

#include "flash/map.h"
#include "image/image.h"
#include "isp/isp.h"

constexpr std::uint32_t ISP_RAM_BUFFER = 0x10000000;   // where every block is staged
constexpr std::uint32_t LARGE_BLOCK = 4096;            // the largest block the bootloader copies

enum EnterResult : int {
    ENTER_OK = 0,
    ENTER_NO_ANSWER = 1,           // nothing answered
    ENTER_BOOTLOADER_SILENT = 2,   // the application answered, the bootloader not after the request
};

enum BlockResult : int {
    BLOCK_OK = 0,
    BLOCK_WRITE_FAILED = 1,     // the RAM write failed, or the bytes did not land where they belong
    BLOCK_MISMATCH = 2,         // the compare found a difference
    BLOCK_OUTSIDE_FLASH = 3,    // the block lies outside one flash bank
    BLOCK_COMMAND_FAILED = 4,   // a prepare, erase, copy or compare command failed
};

enum UpdateResult : int {
    UPDATE_DONE = 0,   // the switch runs the new application, the port is back at 19200 baud
    UPDATE_FAILED = 1,
    UPDATE_MISMATCH = 2,   // a verify mismatch
};

// What this pass has programmed and verified, by area, so that a sector
// erased again mid-pass can be given back everything it held.
struct Area {
    const std::uint8_t* data;
    std::uint32_t address;
    std::uint32_t length;    // data bytes; beyond them a block is padded as erased flash reads
    std::uint32_t written;   // bytes from `address` in flash and verified
};

enum : int { AREA_BODY, AREA_PARAMETERS, AREA_FIRST_BLOCK, AREA_COUNT };

// One switch's programming pass: its link, what its staging buffer is known
// to hold, what the pass has written and how many recoveries it has left.
struct FlashPass {
    SwitchLink* link = nullptr;
    std::uint8_t staged[LARGE_BLOCK];   // a boundary word that already differs needs no marker
    std::uint32_t stagedKnown = 0;
    Area areas[AREA_COUNT]{};
    int recoveriesLeft = 0;
    std::uint8_t block[LARGE_BLOCK];   // a block being rewritten
    std::uint8_t seen[ISP_CHUNK];      // a chunk read back, and the image's bytes for it
    std::uint8_t wanted[ISP_CHUNK];
};

// Brings the switch into its ROM bootloader (synchronised, echo off, link
// state LINK_BOOTLOADER). An ENTER_ result.
EnterResult enterBootloader(FlashPass& pass);

// Writes `length` bytes (4 to 4096, a multiple of 4; others fail) to RAM at
// ISP_RAM_BUFFER and proves they landed there. A damaged digit in a "W"
// address can send a piece elsewhere in RAM; the buffer would then keep stale
// bytes that a copy and a compare against that same RAM both accept. With the
// bootloader's echo on, the echo of each "W" shows where it went; without, the
// words at both ends of every piece are made to differ from the block before
// the write and read back after it. BLOCK_OK or BLOCK_WRITE_FAILED.
BlockResult stageBlock(FlashPass& pass, const std::uint8_t* bytes, std::uint32_t length);

// Forgets what the staging buffer held: to be called whenever the switch may
// have been reset or its RAM written by anyone else.
void forgetStagedBytes(FlashPass& pass);

// Stages `length` bytes (4096, 1024 or 512) in RAM, copies them to `address`
// and compares. A BLOCK_ result.
BlockResult programBlock(FlashPass& pass, std::uint32_t address, const std::uint8_t* bytes, std::uint32_t length);

// Compares `length` bytes of flash at `address` with the staging buffer:
// BLOCK_OK, BLOCK_MISMATCH or BLOCK_COMMAND_FAILED.
BlockResult compareStaged(FlashPass& pass, std::uint32_t address, std::uint32_t length);

// Erases the sectors of [address, address + count). The erase is sent even
// when the prepare failed: the bootloader then refuses it on its own.
// BLOCK_OK, BLOCK_OUTSIDE_FLASH or BLOCK_COMMAND_FAILED.
BlockResult eraseRegion(FlashPass& pass, std::uint32_t address, std::uint32_t count);

// The whole pass for the image under `cursor`: an UPDATE_ result. Every
// failure has printed its message. With `readBackAll`, everything the pass
// wrote is read back from flash and checked against the image (a difference
// is cured inside the pass); otherwise only after the switch showed damage.
UpdateResult updateFirmware(FlashPass& pass, const ImageCursor* cursor, bool readBackAll = false);
