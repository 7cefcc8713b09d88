#include "image/programming.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "format/sinks.h"
#include "format/support_trace.h"
#include "isp/identity.h"
#include "isp/isp.h"
#include "isp/line.h"
#include "isp/resync.h"
#include "isp/table.h"
#include "link/clock.h"
#include "link/serial.h"

namespace {

constexpr std::uint32_t LARGE_BLOCK = 4096;
constexpr std::uint32_t MEDIUM_BLOCK = 1024;
constexpr unsigned APPLICATION_BAUD = 19200;
constexpr unsigned BOOTLOADER_BAUD = 115200;
constexpr const char* PROGRESS_LABEL = "Updating";
// Each flash bank: eight 8 KB sectors, then seven of 64 KB.
constexpr std::uint32_t BANK_SIZE = 0x80000;
constexpr std::uint32_t SMALL_SECTOR = 0x2000;
constexpr std::uint32_t LARGE_SECTOR = 0x10000;
constexpr std::uint32_t SMALL_SECTORS_END = 8 * SMALL_SECTOR;

// What the staging buffer is known to hold: a boundary word that already
// differs from the next block needs no marker written first.
std::uint8_t stagedBytes[LARGE_BLOCK];
std::uint32_t stagedKnown = 0;

constexpr int MAX_CHECK_WORDS = 2 * ((LARGE_BLOCK + ISP_WRITE_PIECE - 1) / ISP_WRITE_PIECE);
constexpr int COPY_ATTEMPTS = 3;

std::uint32_t wordAt(const std::uint8_t* bytes) {
    std::uint32_t word = 0;
    std::memcpy(&word, bytes, sizeof word);
    return word;
}

// Offsets of the first and last word of every piece nxpWrite sends as one
// "W", ascending. A piece stored elsewhere misses at least one of them.
int checkWords(std::uint32_t length, std::uint32_t* offsets) {
    int count = 0;
    for (std::uint32_t start = 0; start < length; start += ISP_WRITE_PIECE) {
        const std::uint32_t end = start + ISP_WRITE_PIECE < length ? start + ISP_WRITE_PIECE : length;
        offsets[count++] = start;
        if (end - 4 != start) offsets[count++] = end - 4;
    }
    return count;
}

// Writes the inverse of the block's word wherever the buffer might already
// hold the block's value, so that a piece that goes astray cannot pass.
int markBoundaries(const std::uint8_t* bytes, const std::uint32_t* offsets, int count) {
    for (int i = 0; i < count; ++i) {
        const std::uint32_t at = offsets[i];
        const std::uint32_t wanted = wordAt(bytes + at);
        if (at + 4 <= stagedKnown && wordAt(stagedBytes + at) != wanted) continue;
        const std::uint32_t marker = ~wanted;
        if (nxpWrite(ISP_RAM_BUFFER + at, &marker, 4) != ISP_OK) return BLOCK_WRITE_FAILED;
    }
    return BLOCK_OK;
}

// Reads the boundary words back, adjacent ones in one "R".
int boundariesLanded(const std::uint8_t* bytes, const std::uint32_t* offsets, int count) {
    for (int i = 0; i < count;) {
        std::uint8_t seen[8];
        const std::uint32_t at = offsets[i];
        int last = i;
        while (last + 1 < count && offsets[last + 1] == offsets[last] + 4 && offsets[last + 1] + 4 - at <= sizeof seen)
            ++last;
        const auto span = static_cast<std::int32_t>(offsets[last] + 4 - at);
        if (!nxpReadBack(seen, ISP_RAM_BUFFER + at, span)) return BLOCK_WRITE_FAILED;
        if (std::memcmp(seen, bytes + at, static_cast<std::size_t>(span)) != 0) return BLOCK_WRITE_FAILED;
        i = last + 1;
    }
    return BLOCK_OK;
}

// The echo of every "W" shows the address the bootloader took.
int stageEchoed(const std::uint8_t* bytes, std::uint32_t length) {
    stagedKnown = 0;
    if (nxpWrite(ISP_RAM_BUFFER, bytes, static_cast<std::int32_t>(length)) != ISP_OK) return BLOCK_WRITE_FAILED;
    std::memcpy(stagedBytes, bytes, length);
    stagedKnown = length;
    return BLOCK_OK;
}

// A copy whose echo came back damaged and that the bootloader refused copied
// nothing: prepared again, it goes again. One it took either went where it
// was meant to, which the compare shows, or elsewhere in the prepared
// sectors, and then the compare fails and the sectors are written again.
enum CopyOutcome { COPY_DONE, COPY_AGAIN, COPY_FAILED };

CopyOutcome copyOutcome(int copied) {
    const int code = lastIspExchange.returnCode;
    if (copied == ISP_OK || (lastIspExchange.echoDiffers && code == ISP_CMD_SUCCESS)) return COPY_DONE;
    return lastIspExchange.echoDiffers && code != ISP_NO_ANSWER ? COPY_AGAIN : COPY_FAILED;
}

// What is left of the region being programmed.
struct Region {
    const std::uint8_t* data;
    std::uint32_t remaining;
    std::uint32_t address;
};

int sectorsOf(std::uint32_t address, std::uint32_t count, std::uint8_t* bank, std::uint8_t* first, std::uint8_t* last) {
    std::uint8_t lastBank = 0;
    if (flashSector(address, bank, first) != BLOCK_OK) return BLOCK_OUTSIDE_FLASH;
    if (flashSector(address + count - 1, &lastBank, last) != BLOCK_OK) return BLOCK_OUTSIDE_FLASH;
    return lastBank == *bank ? BLOCK_OK : BLOCK_OUTSIDE_FLASH;
}

// Whole sectors go, so whatever else they held is lost. The erase is sent even
// when the prepare failed: the bootloader then refuses it on its own.
int eraseRegion(std::uint32_t address, std::uint32_t count) {
    std::uint8_t bank = 0, first = 0, last = 0;
    if (sectorsOf(address, count, &bank, &first, &last) != BLOCK_OK) return BLOCK_OUTSIDE_FLASH;
    const int prepared = nxpPrepare(first, last, bank);
    const int erased = nxpErase(first, last, bank);
    return prepared != ISP_OK || erased != ISP_OK ? BLOCK_COMMAND_FAILED : BLOCK_OK;
}

int compareStaged(std::uint32_t address, std::uint32_t length) {
    const int compared = nxpCompare(address, ISP_RAM_BUFFER, length);
    if (compared == ISP_OK) return BLOCK_OK;
    return compared == ISP_COMPARE_MISMATCH ? BLOCK_MISMATCH : BLOCK_COMMAND_FAILED;
}

// What this pass has programmed and verified, by area, so that a sector
// erased again mid-pass can be given back everything it held.
struct Area {
    const std::uint8_t* data;
    std::uint32_t address;
    std::uint32_t length;    // data bytes; beyond them a block is padded as erased flash reads
    std::uint32_t written;   // bytes from `address` in flash and verified
};

enum : int { AREA_BODY, AREA_PARAMETERS, AREA_FIRST_BLOCK, AREA_COUNT };

Area areas[AREA_COUNT];

// A damaged line or answer is cured inside the pass, within these bounds, so
// that a line that cannot carry a pass still ends it in bounded time.
constexpr int BLOCK_RECOVERIES = 4;
constexpr int PASS_RECOVERIES = 16;
int recoveriesLeft = 0;

void startAreas(const FirmwareImage* header, const std::uint8_t* application, const std::uint8_t* parameters) {
    areas[AREA_BODY] = Area{application + FLASH_BLOCK, header->appAddress + FLASH_BLOCK,
                            header->appLength - FLASH_BLOCK, 0};
    areas[AREA_PARAMETERS] = Area{parameters, header->paramAddress, header->paramLength, 0};
    areas[AREA_FIRST_BLOCK] = Area{application, header->appAddress, FLASH_BLOCK, 0};
    recoveriesLeft = PASS_RECOVERIES;
}

void markWritten(std::uint32_t address, std::uint32_t length) {
    for (Area& area : areas)
        if (address >= area.address && address - area.address <= area.written)
            area.written = std::max(area.written, address - area.address + length);
}

// Takes one recovery from the block's and the pass's bounds, if both have one left.
bool spendRecovery(int* blockRecoveries) {
    if (recoveriesLeft == 0 || *blockRecoveries == 0) return false;
    --recoveriesLeft;
    --*blockRecoveries;
    return true;
}

// Each recovery first brings the line back: the switch's RAM may have taken
// stray data, so nothing staged earlier can be trusted.
bool recoverLine(int* blockRecoveries) {
    while (spendRecovery(blockRecoveries)) {
        forgetStagedBytes();
        if (nxpResync() == ISP_OK) return true;
    }
    return false;
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
int rewriteArea(const Area& area, std::uint32_t from, std::uint32_t to) {
    static std::uint8_t block[LARGE_BLOCK];
    while (from < to) {
        const std::uint32_t left = to - from;
        const std::uint32_t size = left >= LARGE_BLOCK    ? LARGE_BLOCK
                                   : left >= MEDIUM_BLOCK ? MEDIUM_BLOCK
                                                          : FLASH_BLOCK;
        areaBytes(area, from, size, block);
        const int result = programBlock(from, block, size);
        if (result != BLOCK_OK) return result;
        from += size;
    }
    return BLOCK_OK;
}

std::uint32_t sectorSize(std::uint32_t address) {
    return address % BANK_SIZE < SMALL_SECTORS_END ? SMALL_SECTOR : LARGE_SECTOR;
}

std::uint32_t sectorStart(std::uint32_t address) {
    return address & ~(sectorSize(address) - 1);
}

std::uint32_t sectorEnd(std::uint32_t address) {
    return sectorStart(address) + sectorSize(address);
}

// Erases the sectors of [address, address + length) and writes back whatever
// this pass had put there.
int restoreSectors(std::uint32_t address, std::uint32_t length) {
    const std::uint32_t from = sectorStart(address), to = sectorEnd(address + length - 1);
    int result = eraseRegion(from, to - from);
    for (const Area& area : areas) {
        const std::uint32_t start = std::max(from, area.address);
        const std::uint32_t end = std::min(to, writtenEnd(area));
        if (result == BLOCK_OK && start < end) result = rewriteArea(area, start, end);
    }
    return result;
}

// The block's copy may have reached flash: its sectors again, then the block.
int redoSectors(std::uint32_t address, std::uint32_t length, const std::uint8_t* bytes) {
    const int result = restoreSectors(address, length);
    return result == BLOCK_OK ? programBlock(address, bytes, length) : result;
}

// Whether the block is in flash after all: its copy went through and only
// an answer was lost.
int blockInFlash(std::uint32_t address, const std::uint8_t* bytes, std::uint32_t length) {
    if (stageBlock(bytes, length) != BLOCK_OK) return BLOCK_WRITE_FAILED;
    return compareStaged(address, length);
}

enum Cure { CURE_RETRY, CURE_CHECK, CURE_REDO };

// programBlock, with the least work that puts a failed block right: the
// block again when nothing reached flash, otherwise (unless the flash proves
// right) its sectors again.
int programCured(std::uint32_t address, const std::uint8_t* bytes, std::uint32_t length) {
    int result = programBlock(address, bytes, length);
    Cure cure = CURE_RETRY;
    int blockRecoveries = BLOCK_RECOVERIES;
    while (result != BLOCK_OK && result != BLOCK_OUTSIDE_FLASH) {
        // Only a failed staging proves that nothing reached flash.
        if (cure != CURE_REDO) cure = result == BLOCK_WRITE_FAILED && cure == CURE_RETRY ? CURE_RETRY : CURE_CHECK;
        if (!recoverLine(&blockRecoveries)) return result;
        if (cure == CURE_CHECK) {
            result = blockInFlash(address, bytes, length);
            if (result == BLOCK_MISMATCH) cure = CURE_REDO;
        }
        if (cure == CURE_REDO)
            result = redoSectors(address, length, bytes);
        else if (cure == CURE_RETRY)
            result = programBlock(address, bytes, length);
    }
    if (result == BLOCK_OK) markWritten(address, length);
    return result;
}

// The erase, again after a lost or damaged answer: erasing twice is harmless.
int eraseCured(std::uint32_t address, std::uint32_t count) {
    int result = eraseRegion(address, count);
    int blockRecoveries = BLOCK_RECOVERIES;
    while (result == BLOCK_COMMAND_FAILED && recoverLine(&blockRecoveries)) result = eraseRegion(address, count);
    return result;
}

int programFrom(Region* region, std::uint32_t size) {
    const int result = programCured(region->address, region->data, size);
    if (result == BLOCK_OK) {
        region->data += size;
        region->address += size;
        region->remaining -= size;
    }
    return result;
}

int programBlocksOf(Region* region, std::uint32_t size, int result) {
    while (result == BLOCK_OK && region->remaining >= size) result = programFrom(region, size);
    return result;
}

// The last partial block goes out as a full one, padded as erased flash reads.
int programTail(Region* region, int result) {
    if (result != BLOCK_OK || region->remaining == 0) return result;
    std::uint8_t block[FLASH_BLOCK];
    std::memset(block, 0xFF, sizeof block);
    std::memcpy(block, region->data, region->remaining);
    return programCured(region->address, block, FLASH_BLOCK);
}

void printProgress(std::uint32_t length, std::uint32_t remaining) {
    consolePrintf("\r%s firmware: %3u%% complete.", PROGRESS_LABEL, (length - remaining) * 100u / length);
    std::fflush(stdout);
}

// The application without its first 512 bytes: those go last, so that an
// interrupted pass leaves a region CRC that cannot pass.
int programApplicationBody(const FirmwareImage* header, const std::uint8_t* application) {
    Region region{application + FLASH_BLOCK, header->appLength - FLASH_BLOCK, header->appAddress + FLASH_BLOCK};
    int result = BLOCK_OK;
    while (result == BLOCK_OK && region.remaining > LARGE_BLOCK - 1) {
        result = programFrom(&region, LARGE_BLOCK);
        printProgress(header->appLength, region.remaining);
    }
    result = programBlocksOf(&region, MEDIUM_BLOCK, result);
    result = programBlocksOf(&region, FLASH_BLOCK, result);
    return programTail(&region, result);
}

int programParameters(const FirmwareImage* header, const std::uint8_t* parameters) {
    Region region{parameters, header->paramLength, header->paramAddress};
    int result = eraseCured(region.address, region.remaining);
    result = programBlocksOf(&region, FLASH_BLOCK, result);
    return programTail(&region, result);
}

// Reads the area back from flash a chunk at a time; a chunk that differs
// from the image has its sectors erased and restored, and the area is read
// again from the first of them.
int verifyArea(const Area& area) {
    static std::uint8_t seen[ISP_CHUNK], wanted[ISP_CHUNK];
    const std::uint32_t end = writtenEnd(area);
    for (std::uint32_t at = area.address; at < end;) {
        const std::uint32_t size = std::min(ISP_CHUNK, end - at);
        int chunkRecoveries = BLOCK_RECOVERIES;
        areaBytes(area, at, size, wanted);
        while (!nxpReadBack(seen, at, static_cast<std::int32_t>(size)))
            if (!recoverLine(&chunkRecoveries)) return BLOCK_COMMAND_FAILED;
        if (std::memcmp(seen, wanted, size) == 0) {
            at += size;
            continue;
        }
        traceNote("flash at 0x%08X differs from the image", static_cast<unsigned>(at));
        if (!spendRecovery(&chunkRecoveries)) return BLOCK_MISMATCH;
        const int restored = restoreSectors(at, size);
        if (restored != BLOCK_OK) return restored;
        at = std::max(area.address, sectorStart(at));
    }
    return BLOCK_OK;
}

// The bootloader's checksum is a plain byte sum: a character lost from a data
// line can shift the rest of the line into bytes of the same sum, which the
// checksum and the compare (flash against that same RAM) both pass. Without
// the echo, which shows such damage line by line, once the switch has shown
// that bytes reach it damaged, what the pass wrote is read back and checked
// against the image; `always` (--verify) reads it back on every pass.
int verifyIfDamaged(std::uint32_t damageBefore, int first, int last, bool always) {
    if (!always && ispDamageReports() == damageBefore) return BLOCK_OK;
    traceNote(always ? "reading back what this pass wrote"
                     : "the switch saw damaged bytes: reading back what this pass wrote");
    int result = BLOCK_OK;
    for (int area = first; area <= last && result == BLOCK_OK; ++area) result = verifyArea(areas[area]);
    return result;
}

// The body and the table are checked before the first 512 bytes make the
// application startable, so that a cure never leaves a startable half.
int programImage(const ImageCursor* cursor, bool readBackAll) {
    const FirmwareImage* header = cursor->header;
    const std::uint32_t damageBefore = ispDamageReports();
    startAreas(header, cursor->application, cursor->parameters);
    int result = eraseCured(header->appAddress, header->appLength);
    consolePrintf("\n%s firmware:   0%% complete.", PROGRESS_LABEL);
    std::fflush(stdout);
    if (result == BLOCK_OK) result = programApplicationBody(header, cursor->application);
    if (result == BLOCK_OK) result = programParameters(header, cursor->parameters);
    if (result == BLOCK_OK) result = verifyIfDamaged(damageBefore, AREA_BODY, AREA_PARAMETERS, readBackAll);
    if (result == BLOCK_OK) result = programCured(header->appAddress, cursor->application, FLASH_BLOCK);
    if (result == BLOCK_OK) result = verifyIfDamaged(damageBefore, AREA_FIRST_BLOCK, AREA_FIRST_BLOCK, readBackAll);
    return result;
}

int reportRebootFailure(int result) {
    switch (result) {
    case REBOOT_FAILED:   // also TABLE_UNREADABLE
        consolePutString(
            "\nFailed to update firmware!\nVerify cables have not come loose, and the switch still has power.\n");
        break;
    case TABLE_REGION_TOO_LONG:
    case TABLE_REGION_BAD_CRC:
        consolePutString("\nThe firmware failed the CRC test! Try reloading the firmware.\n");
        break;
    case TABLE_ABSENT:
    case REBOOT_NO_ENTRY: consolePutString("\nThe firmware is not fully loaded, try reloading the firmware.\n"); break;
    default: break;
    }
    return UPDATE_FAILED;
}

}   // namespace

int enterBootloader() {
    forgetStagedBytes();
    const int answered = nxpSync();
    if (answered == SYNC_NONE) return ENTER_NO_ANSWER;
    if (answered == SYNC_APPLICATION) {
        sendText("^BOOTL$");
        msDelay(100);
        if (comSetBaud(&serialPort, BOOTLOADER_BAUD) != 0) currentBaud = BOOTLOADER_BAUD;
        if (nxpSync() != SYNC_BOOTLOADER) return ENTER_BOOTLOADER_SILENT;
    }
    linkState = LINK_BOOTLOADER;
    msDelay(20);
    drainInput();
    return ENTER_OK;
}

int flashSector(std::uint32_t address, std::uint8_t* bank, std::uint8_t* sector) {
    constexpr std::uint32_t BANK_A = 0x1A000000, BANK_B = 0x1B000000;
    std::uint32_t offset = 0;
    if (address >= BANK_A && address - BANK_A < BANK_SIZE) {
        *bank = 0;
        offset = address - BANK_A;
    } else if (address >= BANK_B && address - BANK_B < BANK_SIZE) {
        *bank = 1;
        offset = address - BANK_B;
    } else {
        return BLOCK_OUTSIDE_FLASH;
    }
    *sector = offset < SMALL_SECTORS_END ? static_cast<std::uint8_t>((offset >> 13) & 7)
                                         : static_cast<std::uint8_t>(((offset >> 16) & 7) + 7);
    return BLOCK_OK;
}

void forgetStagedBytes() {
    stagedKnown = 0;
}

int stageBlock(const std::uint8_t* bytes, std::uint32_t length) {
    static_assert(ISP_WRITE_PIECE % 4 == 0, "every piece starts on a word");
    if (length == 0 || length > LARGE_BLOCK || length % 4 != 0) return BLOCK_WRITE_FAILED;
    if (ispEchoOn()) return stageEchoed(bytes, length);
    std::uint32_t offsets[MAX_CHECK_WORDS];
    const int count = checkWords(length, offsets);
    int result = markBoundaries(bytes, offsets, count);
    stagedKnown = 0;
    if (result == BLOCK_OK && nxpWrite(ISP_RAM_BUFFER, bytes, static_cast<std::int32_t>(length)) != ISP_OK)
        result = BLOCK_WRITE_FAILED;
    if (result == BLOCK_OK) result = boundariesLanded(bytes, offsets, count);
    if (result != BLOCK_OK) return result;
    std::memcpy(stagedBytes, bytes, length);
    stagedKnown = length;
    return BLOCK_OK;
}

int programBlock(std::uint32_t address, const std::uint8_t* bytes, std::uint32_t length) {
    if (stageBlock(bytes, length) != BLOCK_OK) return BLOCK_WRITE_FAILED;
    std::uint8_t bank = 0, first = 0, last = 0;
    if (sectorsOf(address, length, &bank, &first, &last) != BLOCK_OK) return BLOCK_OUTSIDE_FLASH;
    for (int attempt = 0;; ++attempt) {
        if (nxpPrepare(first, last, bank) != ISP_OK) return BLOCK_COMMAND_FAILED;
        const CopyOutcome copied = copyOutcome(nxpCopy(address, ISP_RAM_BUFFER, length));
        if (copied == COPY_DONE) break;
        if (copied == COPY_FAILED || attempt + 1 == COPY_ATTEMPTS) return BLOCK_COMMAND_FAILED;
    }
    return compareStaged(address, length);
}

int updateFirmware(const ImageCursor* cursor, bool readBackAll) {
    if (cursor->base == nullptr) {
        consolePutString("Error: No firmware file available to download.\n");
        return UPDATE_FAILED;
    }
    const int entered = enterBootloader();
    if (entered != ENTER_OK) {
        consolePrintf("Error %u: Could not connect to the switch! Check cables and power.\n", entered);
        return UPDATE_FAILED;
    }
    nxpUnlock();
    // Every character the bootloader receives comes back, so a data line that
    // reached it damaged is seen even when its checksum passes. A bootloader
    // that refuses is programmed as before, its pieces guarded by boundary words.
    nxpEchoOn();
    const int result = programImage(cursor, readBackAll);
    if (result == BLOCK_MISMATCH) {
        consolePutString("\n\nError: A mismatch occurred while verifying this update.\n");
        return UPDATE_MISMATCH;
    }
    if (result != BLOCK_OK) {
        consolePrintf("\n\nError %u: Lost the connection to the switch! Check cables and power.\n", result);
        return UPDATE_FAILED;
    }
    consolePrintf("\r%s firmware: 100%% complete.\n", PROGRESS_LABEL);
    std::fflush(stdout);
    msDelay(100);
    // A table read spoilt on its way back is read again; once the
    // application has started, the bootloader no longer answers and this ends.
    int restarted = reboot();
    int rebootRecoveries = BLOCK_RECOVERIES;
    while (restarted == REBOOT_FAILED && recoverLine(&rebootRecoveries)) restarted = reboot();
    if (restarted != REBOOT_STARTED) return reportRebootFailure(restarted);
    if (comSetBaud(&serialPort, APPLICATION_BAUD) != 0) currentBaud = APPLICATION_BAUD;
    msDelay(100);
    msDelay(100);
    return UPDATE_DONE;
}
