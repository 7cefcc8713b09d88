// Staging a block in the switch's RAM, copying it to flash and comparing.
#include <cstring>

#include "crc32/crc32.h"
#include "flash/programming.h"
#include "isp/isp.h"

namespace {

constexpr int MAX_CHECK_WORDS = 2 * ((LARGE_BLOCK + ISP_WRITE_PIECE - 1) / ISP_WRITE_PIECE);
constexpr int COPY_ATTEMPTS = 3;

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
BlockResult markBoundaries(FlashPass& pass, const std::uint8_t* bytes, const std::uint32_t* offsets, int count) {
    for (int i = 0; i < count; ++i) {
        const std::uint32_t at = offsets[i];
        const std::uint32_t wanted = littleEndianWord(bytes + at);
        if (at + 4 <= pass.stagedKnown && littleEndianWord(pass.staged + at) != wanted) continue;
        const std::uint8_t marker[4] = {
            static_cast<std::uint8_t>(~bytes[at]), static_cast<std::uint8_t>(~bytes[at + 1]),
            static_cast<std::uint8_t>(~bytes[at + 2]), static_cast<std::uint8_t>(~bytes[at + 3])};
        if (nxpWrite(*pass.link, ISP_RAM_BUFFER + at, marker, 4) != ISP_WRITE_OK) return BLOCK_WRITE_FAILED;
    }
    return BLOCK_OK;
}

// Reads the boundary words back, adjacent ones in one "R".
BlockResult boundariesLanded(FlashPass& pass, const std::uint8_t* bytes, const std::uint32_t* offsets, int count) {
    for (int i = 0; i < count;) {
        std::uint8_t seen[8];
        const std::uint32_t at = offsets[i];
        int last = i;
        while (last + 1 < count && offsets[last + 1] == offsets[last] + 4 && offsets[last + 1] + 4 - at <= sizeof seen)
            ++last;
        const auto span = static_cast<std::int32_t>(offsets[last] + 4 - at);
        if (!nxpReadBack(*pass.link, seen, ISP_RAM_BUFFER + at, span)) return BLOCK_WRITE_FAILED;
        if (std::memcmp(seen, bytes + at, static_cast<std::size_t>(span)) != 0) return BLOCK_WRITE_FAILED;
        i = last + 1;
    }
    return BLOCK_OK;
}

BlockResult writeStaged(FlashPass& pass, const std::uint8_t* bytes, std::uint32_t length) {
    pass.stagedKnown = 0;
    if (nxpWrite(*pass.link, ISP_RAM_BUFFER, bytes, static_cast<std::int32_t>(length)) != ISP_WRITE_OK)
        return BLOCK_WRITE_FAILED;
    std::memcpy(pass.staged, bytes, length);
    pass.stagedKnown = length;
    return BLOCK_OK;
}

// Without the echo, a piece's place is proved by its boundary words.
BlockResult stageGuarded(FlashPass& pass, const std::uint8_t* bytes, std::uint32_t length) {
    std::uint32_t offsets[MAX_CHECK_WORDS];
    const int count = checkWords(length, offsets);
    BlockResult result = markBoundaries(pass, bytes, offsets, count);
    pass.stagedKnown = 0;
    if (result == BLOCK_OK) result = writeStaged(pass, bytes, length);
    if (result == BLOCK_OK) result = boundariesLanded(pass, bytes, offsets, count);
    if (result != BLOCK_OK) pass.stagedKnown = 0;
    return result;
}

// A copy whose echo came back damaged and that the bootloader refused copied
// nothing: prepared again, it goes again. One it took either went where it
// was meant to, which the compare shows, or elsewhere in the prepared
// sectors, and then the compare fails and the sectors are written again.
bool copyTaken(CopyResult copied) {
    return copied == ISP_COPY_DONE || copied == ISP_COPY_DAMAGED_DONE;
}

// Whether the block lies in one bank, and its sectors there.
bool sectorsOf(std::uint32_t address, std::uint32_t count, std::uint8_t* bank, std::uint8_t* first,
               std::uint8_t* last) {
    std::uint8_t lastBank = 0;
    if (!flashSector(address, bank, first)) return false;
    if (!flashSector(address + count - 1, &lastBank, last)) return false;
    return lastBank == *bank;
}

}   // namespace

BlockResult compareStaged(FlashPass& pass, std::uint32_t address, std::uint32_t length) {
    const CompareResult compared = nxpCompare(*pass.link, address, ISP_RAM_BUFFER, length);
    if (compared == ISP_COMPARE_SAME) return BLOCK_OK;
    return compared == ISP_COMPARE_MISMATCH ? BLOCK_MISMATCH : BLOCK_COMMAND_FAILED;
}

void forgetStagedBytes(FlashPass& pass) {
    pass.stagedKnown = 0;
}

BlockResult stageBlock(FlashPass& pass, const std::uint8_t* bytes, std::uint32_t length) {
    static_assert(ISP_WRITE_PIECE % 4 == 0, "every piece starts on a word");
    if (length == 0 || length > LARGE_BLOCK || length % 4 != 0) return BLOCK_WRITE_FAILED;
    // The echo of every "W" shows the address the bootloader took.
    if (ispEchoOn(*pass.link)) return writeStaged(pass, bytes, length);
    return stageGuarded(pass, bytes, length);
}

BlockResult eraseRegion(FlashPass& pass, std::uint32_t address, std::uint32_t count) {
    std::uint8_t bank = 0, first = 0, last = 0;
    if (!sectorsOf(address, count, &bank, &first, &last)) return BLOCK_OUTSIDE_FLASH;
    const IspResult prepared = nxpPrepare(*pass.link, first, last, bank);
    const IspResult erased = nxpErase(*pass.link, first, last, bank);
    return prepared != ISP_OK || erased != ISP_OK ? BLOCK_COMMAND_FAILED : BLOCK_OK;
}

BlockResult programBlock(FlashPass& pass, std::uint32_t address, const std::uint8_t* bytes, std::uint32_t length) {
    if (stageBlock(pass, bytes, length) != BLOCK_OK) return BLOCK_WRITE_FAILED;
    std::uint8_t bank = 0, first = 0, last = 0;
    if (!sectorsOf(address, length, &bank, &first, &last)) return BLOCK_OUTSIDE_FLASH;
    SwitchLink& link = *pass.link;
    for (int attempt = 0;; ++attempt) {
        if (nxpPrepare(link, first, last, bank) != ISP_OK) return BLOCK_COMMAND_FAILED;
        const CopyResult copied = nxpCopy(link, address, ISP_RAM_BUFFER, length);
        if (copyTaken(copied)) break;
        if (copied != ISP_COPY_DAMAGED_REFUSED || attempt + 1 == COPY_ATTEMPTS) return BLOCK_COMMAND_FAILED;
    }
    return compareStaged(pass, address, length);
}
