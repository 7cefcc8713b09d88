#include "app/flash_identity.h"

#include <cstring>

#include "firmware/firmware.h"
#include "image/image.h"
#include "image/programming.h"
#include "isp/identity.h"
#include "isp/isp.h"

bool identifiedFromFlash = false;

namespace {

const FirmwareImage* headerOf(int index) {
    return reinterpret_cast<const FirmwareImage*>(firmwareImages[index]);
}

// The application's last block as programming sends it: padded as erased
// flash reads when the application does not fill it.
bool holdsLastBlock(int index) {
    const FirmwareImage* header = headerOf(index);
    if (header->appLength < FLASH_BLOCK) return false;
    const std::uint32_t offset = (header->appLength - 1) / FLASH_BLOCK * FLASH_BLOCK;
    std::uint8_t block[FLASH_BLOCK];
    std::memset(block, 0xFF, sizeof block);
    std::memcpy(block, firmwareImages[index] + header->appOffset + offset, header->appLength - offset);
    if (stageBlock(block, FLASH_BLOCK) != BLOCK_OK) return false;
    return nxpCompare(header->appAddress + offset, ISP_RAM_BUFFER, FLASH_BLOCK) == ISP_OK;
}

}   // namespace

int imageInFlash() {
    forgetStagedBytes();
    int found = -1;
    for (int index = 0; index < FIRMWARE_IMAGE_COUNT; ++index) {
        if (!holdsLastBlock(index)) continue;
        if (found >= 0) return -1;
        found = index;
    }
    return found;
}

bool identifyFromFlash() {
    const int index = imageInFlash();
    if (index < 0) return false;
    const FirmwareImage* header = headerOf(index);
    deviceIdentity.productId = static_cast<std::uint16_t>(header->productId);
    deviceIdentity.pcbRevision = static_cast<std::uint16_t>(header->pcbRevision);
    deviceIdentity.version = 0;
    std::memcpy(deviceIdentity.nameText, header->modelName, sizeof header->modelName);
    deviceIdentity.nameText[sizeof header->modelName] = '\0';
    deviceIdentity.modelName = deviceIdentity.nameText;
    identifiedFromFlash = true;
    return true;
}
