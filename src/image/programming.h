// Writes one firmware image into the switch's flash through its ROM
// bootloader, verifies every block, and restarts the switch.
#pragma once
#include <cstdint>

#include "image/image.h"

constexpr std::uint32_t ISP_RAM_BUFFER = 0x10000000;   // where every block is staged
constexpr std::uint32_t FLASH_BLOCK = 512;             // smallest block the bootloader copies

// Brings the switch into its ROM bootloader (synchronised, echo off, linkState
// 2). 0 the bootloader answers; 1 nothing answered; 2 the application answered
// but the bootloader did not answer after the request.
int enterBootloader();

// Bank and sector of a flash address. 0 with both set; 1 when the address is
// in no flash bank (outputs untouched).
int flashSector(std::uint32_t address, std::uint8_t* bank, std::uint8_t* sector);

// Writes `length` bytes (4 to 4096, a multiple of 4; others fail) to RAM at
// ISP_RAM_BUFFER and proves they landed there. A damaged digit in a "W"
// address can send a piece elsewhere in RAM; the buffer would then keep stale
// bytes that a copy and a compare against that same RAM both accept. So the
// words at both ends of every piece are made to differ from the block before
// the write and read back after it. 0 staged; 1 a write failed or the bytes
// are not where they belong.
int stageBlock(const std::uint8_t* bytes, std::uint32_t length);

// Forgets what the staging buffer held: to be called whenever the switch may
// have been reset or its RAM written by anyone else.
void forgetStagedBytes();

// Stages `length` bytes (4096, 1024 or 512) in RAM, copies them to `address`
// and compares. 0 success; 1 the RAM write failed; 2 the compare found a
// difference; 3 the block lies outside one flash bank; 4 a prepare, copy or
// compare command failed.
int programBlock(std::uint32_t address, const std::uint8_t* bytes, std::uint32_t length);

// The whole pass for the image under `cursor`: 0 the switch runs the new
// application and the port is back at 19200 baud; 1 failure; 2 a verify
// mismatch. Every failure has printed its message.
int updateFirmware(const ImageCursor* cursor);
