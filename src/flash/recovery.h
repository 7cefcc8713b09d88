// Curing a block, an erase or a read-back inside the pass after the line
// damaged something, within the pass's bounds.
#pragma once
#include <cstdint>

#include "flash/programming.h"

// Bounds of the cures: a line that cannot carry a pass still ends it in bounded time.
constexpr int BLOCK_RECOVERIES = 4;
constexpr int PASS_RECOVERIES = 16;

// Starts the pass's record of what it wrote and its budget of recoveries.
void startAreas(FlashPass& pass, const FirmwareImage* header, const std::uint8_t* application,
                const std::uint8_t* parameters);

// Brings the line back within the block's and the pass's bounds; false once they are spent.
bool recoverLine(FlashPass& pass, int* blockRecoveries);

// programBlock, with the least work that puts a failed block right; the
// block is then recorded as written.
BlockResult programCured(FlashPass& pass, std::uint32_t address, const std::uint8_t* bytes, std::uint32_t length);

// eraseRegion, again after a lost or damaged answer: erasing twice is harmless.
BlockResult eraseCured(FlashPass& pass, std::uint32_t address, std::uint32_t count);

// Reads back from flash the areas `first` to `last` when the switch reported
// damage since `damageBefore` (or `always`), curing what differs.
BlockResult verifyIfDamaged(FlashPass& pass, std::uint32_t damageBefore, int first, int last, bool always);
