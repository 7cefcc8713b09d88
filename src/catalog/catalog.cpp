#include <cstdio>

#include "catalog/catalog.h"
#include "format/sinks.h"

const char* const MAKER_WEB_ADDRESS = "https://www.brenmoor.example";

namespace {

// printf of a null text is undefined; the identity may carry no name.
const char* printable(const char* text) {
    return text != nullptr ? text : "(null)";
}

void printProductMismatch(const DeviceIdentity* identity, const FirmwareImage* header) {
    consoleMessage("\nAttempting to update device: \"%s\".", printable(modelNameOf(*identity)));
    consoleMessage("\nNew firmware is for device:  \"%.*s\".\n", static_cast<int>(sizeof header->modelName),
                   header->modelName);
    consoleMessage("\nIncompatible firmware, device not updated.\n");
}

void printRevisionMismatch(const DeviceIdentity* identity) {
    consoleMessage("\nUnsupported PCB Revision: Rev %u.\n", static_cast<unsigned>(identity->pcbRevision));
    consoleMessage("This firmware won't work on this version of the %s,\ndevice not updated.\n",
                   printable(modelNameOf(*identity)));
}

}   // namespace

const char* lookupModelName(std::int32_t productId, std::int32_t pcbRevision) {
    for (const ProductEntry& entry : productCatalogue) {
        if (entry.productId != productId) continue;
        if (pcbRevision < 1 || pcbRevision > entry.revisionCount) return nullptr;
        return entry.modelNames[pcbRevision - 1];
    }
    return nullptr;
}

int checkCompatibility(const DeviceIdentity* identity, const ImageCursor* cursor) {
    const FirmwareImage* header = cursor->header;
    if (lookupModelName(static_cast<std::int32_t>(header->productId), static_cast<std::int32_t>(header->pcbRevision)) ==
        nullptr)
        return INCOMPATIBLE_UNKNOWN_IMAGE;
    if (identity->productId != header->productId) return INCOMPATIBLE_PRODUCT;
    if (identity->pcbRevision != header->pcbRevision) return INCOMPATIBLE_REVISION;
    return COMPATIBLE;
}

void reportIncompatibility(int result, const DeviceIdentity* identity, const ImageCursor* cursor) {
    if (result == COMPATIBLE) return;
    if (result == INCOMPATIBLE_UNKNOWN_IMAGE)
        consoleMessage("\nThe firmware file given is for a product not recognize by this program.\n");
    else if (result == INCOMPATIBLE_PRODUCT)
        printProductMismatch(identity, cursor->header);
    else if (result == INCOMPATIBLE_REVISION)
        printRevisionMismatch(identity);
    consoleMessage(
        "\nPlease check the Brenmoor website for the proper firmware for your product,\n"
        "or for a more recent version of this program: %s\n\n",
        MAKER_WEB_ADDRESS);
}
