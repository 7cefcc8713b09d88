#include "app/identify.h"

#include "app/exit.h"
#include "app/flash_identity.h"
#include "app/scan.h"
#include "catalog/catalog.h"
#include "catalog/version.h"
#include "firmware/firmware.h"
#include "format/sinks.h"
#include "image/image.h"
#include "isp/identity.h"

namespace {

const char* updateVerdict(const ImageCursor& image) {
    const bool catalogued = lookupModelName(deviceIdentity.productId, deviceIdentity.pcbRevision) != nullptr;
    if (!catalogued || checkCompatibility(&deviceIdentity, &image) != COMPATIBLE) return "not compatible";
    if (image.header->version == deviceIdentity.version) return "the same";
    return image.header->version > deviceIdentity.version ? "newer" : "older";
}

void reportImageFor() {
    const int index = imageIndexFor(deviceIdentity);
    if (index < 0) {
        consoleMessage("; update: no image for this switch");
        return;
    }
    ImageCursor image{firmwareImages[index], reinterpret_cast<const FirmwareImage*>(firmwareImages[index]), nullptr,
                      nullptr};
    consoleMessage("; image %.*s ", static_cast<int>(sizeof image.header->modelName), image.header->modelName);
    consoleMessage("%s; update: %s", formatVersion(image.header->version), updateVerdict(image));
}

void reportSwitch() {
    // A bootloader without a table names its switch only through the flash contents.
    if (linkState == LINK_BOOTLOADER_NO_TABLE && !identifyFromFlash()) {
        consoleMessage("a switch in its bootloader without firmware information; update: no image for this switch");
        return;
    }
    const char* model = deviceIdentity.modelName != nullptr ? deviceIdentity.modelName : deviceIdentity.nameText;
    consoleMessage("%s, product id 0x%02X, PCB revision %u, version ", model, deviceIdentity.productId,
                   deviceIdentity.pcbRevision);
    consoleMessage("%s", formatVersion(deviceIdentity.version));
    reportImageFor();
}

}   // namespace

void identifySwitches(const PortRange& range) {
    int found = 0;
    for (int at = 0; at < range.count; ++at) {
        const int result = probeScannedPort(range.ports[at]);
        if (result == PORT_SWITCH_ANSWERED) {
            reportSwitch();
            ++found;
        }
        if (result != PORT_NOT_OPENED) closeScannedPort();
    }
    if (found == 0) endNoSwitchFound();
    consoleMessage("\n");
    exitProgram(EXIT_COMPLETED);
}
