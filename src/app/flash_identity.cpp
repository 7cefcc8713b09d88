#include "app/flash_identity.h"

#include <cstring>

#include "firmware/firmware.h"
#include "flash/programming.h"
#include "image/image.h"
#include "isp/isp.h"

namespace {

const FirmwareImage* headerOf(int index) {
    return reinterpret_cast<const FirmwareImage*>(firmwareImages[index]);
}

// The application's last block as programming sends it: padded as erased
// flash reads when the application does not fill it.
bool holdsLastBlock(FlashPass& pass, int index) {
    const FirmwareImage* header = headerOf(index);
    if (header->appLength < FLASH_BLOCK) return false;
    const std::uint32_t offset = (header->appLength - 1) / FLASH_BLOCK * FLASH_BLOCK;
    std::uint8_t block[FLASH_BLOCK];
    std::memset(block, 0xFF, sizeof block);
    std::memcpy(block, firmwareImages[index] + header->appOffset + offset, header->appLength - offset);
    if (stageBlock(pass, block, FLASH_BLOCK) != BLOCK_OK) return false;
    return compareStaged(pass, header->appAddress + offset, FLASH_BLOCK) == BLOCK_OK;
}

}   // namespace

int imageInFlash(FlashPass& pass) {
    forgetStagedBytes(pass);
    int found = -1;
    for (int index = 0; index < FIRMWARE_IMAGE_COUNT; ++index) {
        if (!holdsLastBlock(pass, index)) continue;
        if (found >= 0) return -1;
        found = index;
    }
    return found;
}

bool identifyFromFlash(Session& session) {
    const int index = imageInFlash(session.pass);
    if (index < 0) return false;
    const FirmwareImage* header = headerOf(index);
    DeviceIdentity& identity = session.link.identity;
    identity.productId = static_cast<std::uint16_t>(header->productId);
    identity.pcbRevision = static_cast<std::uint16_t>(header->pcbRevision);
    identity.version = 0;
    std::memcpy(identity.nameText, header->modelName, sizeof header->modelName);
    identity.nameText[sizeof header->modelName] = '\0';
    identity.ownName = true;
    session.identifiedFromFlash = true;
    return true;
}
