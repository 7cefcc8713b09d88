#include "flash/recovery.h"

#include <algorithm>
#include <cstring>

#include "format/support_trace.h"
#include "isp/line.h"
#include "isp/resync.h"

namespace {

constexpr std::uint32_t MEDIUM_BLOCK = 1024;

void markWritten(FlashPass& pass, std::uint32_t address, std::uint32_t length) {
    for (Area& area : pass.areas)
        if (address >= area.address && address - area.address <= area.written)
            area.written = std::max(area.written, address - area.address + length);
}

// Takes one recovery from the block's and the pass's bounds, if both have one left.
bool spendRecovery(FlashPass& pass, int* blockRecoveries) {
    if (pass.recoveriesLeft == 0 || *blockRecoveries == 0) return false;
    --pass.recoveriesLeft;
    --*blockRecoveries;
    return true;
}

// The area's bytes from `from` on, padded as erased flash reads.
void areaBytes(const Area& area, std::uint32_t from, std::uint32_t size, std::uint8_t* block) {
    const std::uint32_t offset = from - area.address;
    const std::uint32_t present = offset >= area.length ? 0 : std::min(size, area.length - offset);
    std::memset(block, 0xFF, size);
    std::memcpy(block, area.data + offset, present);
}

std::uint32_t writtenEnd(const Area& area) {
    return area.address + (area.written + FLASH_BLOCK - 1) / FLASH_BLOCK * FLASH_BLOCK;
}

// Reprograms [from, to) of an area, both on 512-byte boundaries.
BlockResult rewriteArea(FlashPass& pass, const Area& area, std::uint32_t from, std::uint32_t to) {
    while (from < to) {
        const std::uint32_t left = to - from;
        const std::uint32_t size = left >= LARGE_BLOCK    ? LARGE_BLOCK
                                   : left >= MEDIUM_BLOCK ? MEDIUM_BLOCK
                                                          : FLASH_BLOCK;
        areaBytes(area, from, size, pass.block);
        const BlockResult result = programBlock(pass, from, pass.block, size);
        if (result != BLOCK_OK) return result;
        from += size;
    }
    return BLOCK_OK;
}

// Erases the sectors of [address, address + length) and writes back whatever
// this pass had put there.
BlockResult restoreSectors(FlashPass& pass, std::uint32_t address, std::uint32_t length) {
    const std::uint32_t from = sectorStart(address), to = sectorEnd(address + length - 1);
    BlockResult result = eraseRegion(pass, from, to - from);
    for (const Area& area : pass.areas) {
        const std::uint32_t start = std::max(from, area.address);
        const std::uint32_t end = std::min(to, writtenEnd(area));
        if (result == BLOCK_OK && start < end) result = rewriteArea(pass, area, start, end);
    }
    return result;
}

// The block's copy may have reached flash: its sectors again, then the block.
BlockResult redoSectors(FlashPass& pass, std::uint32_t address, std::uint32_t length, const std::uint8_t* bytes) {
    const BlockResult result = restoreSectors(pass, address, length);
    return result == BLOCK_OK ? programBlock(pass, address, bytes, length) : result;
}

// Whether the block is in flash after all: its copy went through and only
// an answer was lost.
BlockResult blockInFlash(FlashPass& pass, std::uint32_t address, const std::uint8_t* bytes, std::uint32_t length) {
    if (stageBlock(pass, bytes, length) != BLOCK_OK) return BLOCK_WRITE_FAILED;
    return compareStaged(pass, address, length);
}

enum Cure { CURE_RETRY, CURE_CHECK, CURE_REDO };

// Only a failed staging proves that nothing reached flash.
Cure nextCure(Cure cure, BlockResult result) {
    if (cure == CURE_REDO) return cure;
    return result == BLOCK_WRITE_FAILED && cure == CURE_RETRY ? CURE_RETRY : CURE_CHECK;
}

BlockResult applyCure(FlashPass& pass, Cure* cure, std::uint32_t address, const std::uint8_t* bytes,
                      std::uint32_t length) {
    BlockResult result = BLOCK_OK;
    if (*cure == CURE_CHECK) {
        result = blockInFlash(pass, address, bytes, length);
        if (result == BLOCK_MISMATCH) *cure = CURE_REDO;
    }
    if (*cure == CURE_REDO) return redoSectors(pass, address, length, bytes);
    if (*cure == CURE_RETRY) return programBlock(pass, address, bytes, length);
    return result;
}

// Reads one chunk of an area back; false once the recoveries to get it are spent.
bool readChunkBack(FlashPass& pass, std::uint32_t at, std::uint32_t size, int* chunkRecoveries) {
    while (!nxpReadBack(*pass.link, pass.seen, at, static_cast<std::int32_t>(size)))
        if (!recoverLine(pass, chunkRecoveries)) return false;
    return true;
}

// Reads the area back from flash a chunk at a time; a chunk that differs
// from the image has its sectors erased and restored, and the area is read
// again from the first of them.
BlockResult verifyArea(FlashPass& pass, const Area& area) {
    const std::uint32_t end = writtenEnd(area);
    for (std::uint32_t at = area.address; at < end;) {
        const std::uint32_t size = std::min(ISP_CHUNK, end - at);
        int chunkRecoveries = BLOCK_RECOVERIES;
        areaBytes(area, at, size, pass.wanted);
        if (!readChunkBack(pass, at, size, &chunkRecoveries)) return BLOCK_COMMAND_FAILED;
        if (std::memcmp(pass.seen, pass.wanted, size) == 0) {
            at += size;
            continue;
        }
        traceNote(pass.link->traceTag, "flash at 0x%08X differs from the image", static_cast<unsigned>(at));
        if (!spendRecovery(pass, &chunkRecoveries)) return BLOCK_MISMATCH;
        const BlockResult restored = restoreSectors(pass, at, size);
        if (restored != BLOCK_OK) return restored;
        at = std::max(area.address, sectorStart(at));
    }
    return BLOCK_OK;
}

}   // namespace

void startAreas(FlashPass& pass, const FirmwareImage* header, const std::uint8_t* application,
                const std::uint8_t* parameters) {
    pass.areas[AREA_BODY] = Area{application + FLASH_BLOCK, header->appAddress + FLASH_BLOCK,
                                 header->appLength - FLASH_BLOCK, 0};
    pass.areas[AREA_PARAMETERS] = Area{parameters, header->paramAddress, header->paramLength, 0};
    pass.areas[AREA_FIRST_BLOCK] = Area{application, header->appAddress, FLASH_BLOCK, 0};
    pass.recoveriesLeft = PASS_RECOVERIES;
}

// Each recovery first brings the line back: the switch's RAM may have taken
// stray data, so nothing staged earlier can be trusted.
bool recoverLine(FlashPass& pass, int* blockRecoveries) {
    while (!linkStopped(*pass.link) && spendRecovery(pass, blockRecoveries)) {
        forgetStagedBytes(pass);
        if (nxpResync(*pass.link) == ISP_OK) return true;
    }
    return false;
}

// The block again when nothing reached flash, otherwise (unless the flash
// proves right) its sectors again.
BlockResult programCured(FlashPass& pass, std::uint32_t address, const std::uint8_t* bytes, std::uint32_t length) {
    BlockResult result = programBlock(pass, address, bytes, length);
    Cure cure = CURE_RETRY;
    int blockRecoveries = BLOCK_RECOVERIES;
    while (result != BLOCK_OK && result != BLOCK_OUTSIDE_FLASH) {
        cure = nextCure(cure, result);
        if (!recoverLine(pass, &blockRecoveries)) return result;
        result = applyCure(pass, &cure, address, bytes, length);
    }
    if (result == BLOCK_OK) markWritten(pass, address, length);
    return result;
}

BlockResult eraseCured(FlashPass& pass, std::uint32_t address, std::uint32_t count) {
    BlockResult result = eraseRegion(pass, address, count);
    int blockRecoveries = BLOCK_RECOVERIES;
    while (result == BLOCK_COMMAND_FAILED && recoverLine(pass, &blockRecoveries))
        result = eraseRegion(pass, address, count);
    return result;
}

// The bootloader's checksum is a plain byte sum: a character lost from a data
// line can shift the rest of the line into bytes of the same sum, which the
// checksum and the compare (flash against that same RAM) both pass. Without
// the echo, which shows such damage line by line, once the switch has shown
// that bytes reach it damaged, what the pass wrote is read back and checked
// against the image; `always` (--verify) reads it back on every pass.
BlockResult verifyIfDamaged(FlashPass& pass, std::uint32_t damageBefore, int first, int last, bool always) {
    if (!always && ispDamageReports(*pass.link) == damageBefore) return BLOCK_OK;
    traceNote(pass.link->traceTag, always ? "reading back what this pass wrote"
                                          : "the switch saw damaged bytes: reading back what this pass wrote");
    BlockResult result = BLOCK_OK;
    for (int area = first; area <= last && result == BLOCK_OK; ++area) result = verifyArea(pass, pass.areas[area]);
    return result;
}
