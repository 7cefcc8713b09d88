#include <cstdio>

#include "app/exit.h"
#include "app/scan.h"
#include "app/startup.h"
#include "catalog/version.h"
#include "firmware/firmware.h"
#include "format/sinks.h"
#include "image/image.h"
#include "isp/identity.h"

namespace {
bool isForSwitch(const FirmwareImage* header, const DeviceIdentity& identity) {
    return header->totalLength != 0 && header->productId == identity.productId &&
           header->pcbRevision == identity.pcbRevision;
}

const char* printable(const char* text) {
    return text != nullptr ? text : "(null)";
}
}   // namespace

int imageIndexFor(const DeviceIdentity& identity) {
    for (int index = 0; index < FIRMWARE_IMAGE_COUNT; ++index) {
        if (isForSwitch(reinterpret_cast<const FirmwareImage*>(firmwareImages[index]), identity)) return index;
    }
    return -1;
}

bool matchImage() {
    for (int index = 0; index < FIRMWARE_IMAGE_COUNT; ++index) {
        imageCursor.base = firmwareImages[index];
        imageCursor.header = reinterpret_cast<const FirmwareImage*>(imageCursor.base);
        if (!imageFitsItsStorage(index) || validateImage(nullptr, &imageCursor) != 0) {
            consoleMessage("This firmware file is corrupt! Try re-downloading file.\n");
            exitProgram(EXIT_FAILED);
        }
        if (isForSwitch(imageCursor.header, deviceIdentity)) {
            consoleMessage("An %s was found with firmware version: %s", printable(deviceIdentity.modelName),
                           formatVersion(deviceIdentity.version));
            return true;
        }
        imageCursor.base = nullptr;
        imageCursor.header = nullptr;
    }
    consoleMessage("A Brenmoor device was found, but it does not match this firmware.");
    return false;
}
