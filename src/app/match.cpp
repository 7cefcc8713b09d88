#include <cstdio>

#include "app/scan.h"
#include "app/startup.h"
#include "catalog/version.h"
#include "firmware/firmware.h"
#include "format/sinks.h"
#include "image/image.h"

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

bool matchImage(Session& session) {
    ImageCursor& image = session.image;
    const DeviceIdentity& identity = session.link.identity;
    const OutputSink* out = session.link.out;
    for (int index = 0; index < FIRMWARE_IMAGE_COUNT; ++index) {
        image.base = firmwareImages[index];
        image.header = reinterpret_cast<const FirmwareImage*>(image.base);
        if (!imageFitsItsStorage(index) || validateImage(nullptr, &image, out) != IMAGE_INTACT) {
            sinkMessage(out, "This firmware file is corrupt! Try re-downloading file.\n");
            session.imageCorrupt = true;
            return true;
        }
        if (isForSwitch(image.header, identity)) {
            sinkMessage(out, "An %s was found with firmware version: %s", printable(modelNameOf(identity)),
                        formatVersion(identity.version).text);
            return true;
        }
        image.base = nullptr;
        image.header = nullptr;
    }
    sinkMessage(out, "A Brenmoor device was found, but it does not match this firmware.");
    return false;
}
