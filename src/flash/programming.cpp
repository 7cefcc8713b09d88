// The programming pass: into the bootloader, the image written in its order,
// read back where the line showed damage, and the switch restarted.
#include "flash/programming.h"

#include <cstdio>
#include <cstring>

#include "flash/recovery.h"
#include "format/sinks.h"
#include "isp/line.h"
#include "isp/table.h"
#include "link/clock.h"

namespace {

constexpr std::uint32_t MEDIUM_BLOCK = 1024;
constexpr const char* PROGRESS_LABEL = "Updating";
constexpr unsigned BOOTLOADER_START_MS = 100;    // the application hands over to the bootloader
constexpr unsigned BEFORE_RESTART_MS = 100;      // the last compare's answer has left the line
constexpr unsigned APPLICATION_START_MS = 200;   // the restarted application listens again

// What is left of the region being programmed.
struct Region {
    const std::uint8_t* data;
    std::uint32_t remaining;
    std::uint32_t address;
};

BlockResult programFrom(FlashPass& pass, Region* region, std::uint32_t size) {
    const BlockResult result = programCured(pass, region->address, region->data, size);
    if (result == BLOCK_OK) {
        region->data += size;
        region->address += size;
        region->remaining -= size;
    }
    return result;
}

BlockResult programBlocksOf(FlashPass& pass, Region* region, std::uint32_t size, BlockResult result) {
    while (result == BLOCK_OK && region->remaining >= size) result = programFrom(pass, region, size);
    return result;
}

// The last partial block goes out as a full one, padded as erased flash reads.
BlockResult programTail(FlashPass& pass, Region* region, BlockResult result) {
    if (result != BLOCK_OK || region->remaining == 0) return result;
    std::uint8_t block[FLASH_BLOCK];
    std::memset(block, 0xFF, sizeof block);
    std::memcpy(block, region->data, region->remaining);
    return programCured(pass, region->address, block, FLASH_BLOCK);
}

void printProgress(const FlashPass& pass, std::uint32_t length, std::uint32_t remaining) {
    sinkPrintf(pass.link->out, "\r%s firmware: %3u%% complete.", PROGRESS_LABEL, (length - remaining) * 100u / length);
    sinkFlush(pass.link->out);
}

// The application without its first 512 bytes: those go last, so that an
// interrupted pass leaves a region CRC that cannot pass.
BlockResult programApplicationBody(FlashPass& pass, const FirmwareImage* header, const std::uint8_t* application) {
    Region region{application + FLASH_BLOCK, header->appLength - FLASH_BLOCK, header->appAddress + FLASH_BLOCK};
    BlockResult result = BLOCK_OK;
    while (result == BLOCK_OK && region.remaining > LARGE_BLOCK - 1) {
        result = programFrom(pass, &region, LARGE_BLOCK);
        printProgress(pass, header->appLength, region.remaining);
    }
    result = programBlocksOf(pass, &region, MEDIUM_BLOCK, result);
    result = programBlocksOf(pass, &region, FLASH_BLOCK, result);
    return programTail(pass, &region, result);
}

BlockResult programParameters(FlashPass& pass, const FirmwareImage* header, const std::uint8_t* parameters) {
    Region region{parameters, header->paramLength, header->paramAddress};
    BlockResult result = eraseCured(pass, region.address, region.remaining);
    result = programBlocksOf(pass, &region, FLASH_BLOCK, result);
    return programTail(pass, &region, result);
}

// The body and the table are checked before the first 512 bytes make the
// application startable, so that a cure never leaves a startable half.
BlockResult programImage(FlashPass& pass, const ImageCursor* cursor, bool readBackAll) {
    const FirmwareImage* header = cursor->header;
    const std::uint32_t damageBefore = ispDamageReports(*pass.link);
    startAreas(pass, header, cursor->application, cursor->parameters);
    BlockResult result = eraseCured(pass, header->appAddress, header->appLength);
    sinkPrintf(pass.link->out, "\n%s firmware:   0%% complete.", PROGRESS_LABEL);
    sinkFlush(pass.link->out);
    if (result == BLOCK_OK) result = programApplicationBody(pass, header, cursor->application);
    if (result == BLOCK_OK) result = programParameters(pass, header, cursor->parameters);
    if (result == BLOCK_OK) result = verifyIfDamaged(pass, damageBefore, AREA_BODY, AREA_PARAMETERS, readBackAll);
    if (result == BLOCK_OK) result = programCured(pass, header->appAddress, cursor->application, FLASH_BLOCK);
    if (result == BLOCK_OK)
        result = verifyIfDamaged(pass, damageBefore, AREA_FIRST_BLOCK, AREA_FIRST_BLOCK, readBackAll);
    return result;
}

UpdateResult reportRebootFailure(const FlashPass& pass, RebootResult result) {
    const OutputSink* out = pass.link->out;
    switch (result) {
    case REBOOT_FAILED:
    case REBOOT_TABLE_UNREADABLE:
        sinkPutString(
            out, "\nFailed to update firmware!\nVerify cables have not come loose, and the switch still has power.\n");
        break;
    case REBOOT_BAD_REGION:
        sinkPutString(out, "\nThe firmware failed the CRC test! Try reloading the firmware.\n");
        break;
    case REBOOT_NO_TABLE:
    case REBOOT_NO_ENTRY:
        sinkPutString(out, "\nThe firmware is not fully loaded, try reloading the firmware.\n");
        break;
    case REBOOT_STARTED: break;
    }
    return UPDATE_FAILED;
}

// A table read, unlock or go that the line may have spoilt: worth another try once it is back.
bool rebootMayGoAgain(RebootResult result) {
    return result == REBOOT_FAILED || result == REBOOT_TABLE_UNREADABLE;
}

// A table read spoilt on its way back is read again; once the application
// has started, the bootloader no longer answers and this ends. The failed
// restart's diagnostic is shown once, for its last try.
RebootResult restartSwitch(FlashPass& pass) {
    RebootNote note{};
    RebootResult restarted = reboot(*pass.link, &note);
    int rebootRecoveries = BLOCK_RECOVERIES;
    while (rebootMayGoAgain(restarted) && recoverLine(pass, &rebootRecoveries)) restarted = reboot(*pass.link, &note);
    if (restarted != REBOOT_STARTED) sinkMessage(pass.link->out, "%s", note.text);
    return restarted;
}

UpdateResult reportPassFailure(const FlashPass& pass, BlockResult result) {
    if (result == BLOCK_MISMATCH) {
        sinkPutString(pass.link->out, "\n\nError: A mismatch occurred while verifying this update.\n");
        return UPDATE_MISMATCH;
    }
    sinkPrintf(pass.link->out, "\n\nError %u: Lost the connection to the switch! Check cables and power.\n", result);
    return UPDATE_FAILED;
}

}   // namespace

EnterResult enterBootloader(FlashPass& pass) {
    SwitchLink& link = *pass.link;
    forgetStagedBytes(pass);
    const SyncResult answered = nxpSync(link);
    if (answered == SYNC_NONE) return ENTER_NO_ANSWER;
    if (answered == SYNC_APPLICATION) {
        sendText(link, "^BOOTL$");
        msDelay(BOOTLOADER_START_MS);
        comSetBaud(&link.port, BOOTLOADER_BAUD);
        if (nxpSync(link) != SYNC_BOOTLOADER) return ENTER_BOOTLOADER_SILENT;
    }
    link.state = LINK_BOOTLOADER;
    msDelay(20);
    drainInput(link);
    return ENTER_OK;
}

UpdateResult updateFirmware(FlashPass& pass, const ImageCursor* cursor, bool readBackAll) {
    SwitchLink& link = *pass.link;
    if (cursor->base == nullptr) {
        sinkPutString(link.out, "Error: No firmware file available to download.\n");
        return UPDATE_FAILED;
    }
    const EnterResult entered = enterBootloader(pass);
    if (entered != ENTER_OK) {
        sinkPrintf(link.out, "Error %u: Could not connect to the switch! Check cables and power.\n", entered);
        return UPDATE_FAILED;
    }
    nxpUnlock(link);
    // Every character the bootloader receives comes back, so a data line that
    // reached it damaged is seen even when its checksum passes. A bootloader
    // that refuses is programmed as before, its pieces guarded by boundary words.
    nxpEchoOn(link);
    const BlockResult result = programImage(pass, cursor, readBackAll);
    if (result != BLOCK_OK) return reportPassFailure(pass, result);
    sinkPrintf(link.out, "\r%s firmware: 100%% complete.\n", PROGRESS_LABEL);
    sinkFlush(link.out);
    msDelay(BEFORE_RESTART_MS);
    const RebootResult restarted = restartSwitch(pass);
    if (restarted != REBOOT_STARTED) return reportRebootFailure(pass, restarted);
    comSetBaud(&link.port, APPLICATION_BAUD);
    msDelay(APPLICATION_START_MS);
    return UPDATE_DONE;
}
