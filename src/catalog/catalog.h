// The products this program knows, by product id and PCB revision, and the
// check that an image fits the attached switch.
#pragma once
#include <cstdint>

#include "image/image.h"
#include "isp/identity.h"

constexpr int MAX_PCB_REVISIONS = 5;

struct ProductEntry {
    std::int32_t productId;
    std::int32_t revisionCount;                  // the highest PCB revision catalogued
    const char* modelNames[MAX_PCB_REVISIONS];   // [0] is PCB revision 1
};

inline constexpr ProductEntry productCatalogue[] = {
    {0x5A, 3, {"Sonavex A", "Sonavex B", "Sonavex C", nullptr, nullptr}},
    {0x56, 5, {"Sonavex D", "Sonavex E", "Sonavex F", "Sonavex G", "Sonavex H"}},
    {0x64, 5, {"Sonavex F-II", "Sonavex A-II", "Sonavex E-II", "Sonavex G-II", "Sonavex H-II"}},
};
static_assert(sizeof(productCatalogue) / sizeof(productCatalogue[0]) == 3, "three products");

extern const char* const MAKER_WEB_ADDRESS;   // "https://www.brenmoor.example"

// The model name of a product's PCB revision (counting from 1): a constant
// text, or nullptr when the pair is not catalogued.
const char* lookupModelName(std::int32_t productId, std::int32_t pcbRevision);

enum : int {
    COMPATIBLE = 0,
    INCOMPATIBLE_UNKNOWN_IMAGE = 1,   // the image is for no catalogued product
    INCOMPATIBLE_PRODUCT = 3,         // the image is for another product
    INCOMPATIBLE_REVISION = 4,        // the image is for another PCB revision
};

// Compares the switch's product id and PCB revision with those of the image
// the cursor selects. Both are only read; cursor->header must not be null.
// Returns one of the codes above.
int checkCompatibility(const DeviceIdentity* identity, const ImageCursor* cursor);

// Prints why `result` (non-zero, from checkCompatibility) forbids the update,
// then where to find the right firmware. A null model name prints "(null)".
void reportIncompatibility(int result, const DeviceIdentity* identity, const ImageCursor* cursor);
