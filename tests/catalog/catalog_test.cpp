#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <string>

#include "catalog/catalog.h"
#include "support/stdout_capture.h"

namespace {

TEST(LookupModelName, ProductsAndRevisions) {
    const struct {
        std::int32_t productId;
        std::int32_t pcbRevision;
        const char* name;
    } cases[] = {
        {0x56, 1, "Sonavex D"},    {0x56, 3, "Sonavex F"}, {0x56, 5, "Sonavex H"},    {0x56, 0, nullptr},
        {0x56, 6, nullptr},        {0x56, -1, nullptr},    {0x5A, 1, "Sonavex A"},    {0x5A, 3, "Sonavex C"},
        {0x5A, 4, nullptr},        {0x5A, 5, nullptr},     {0x64, 1, "Sonavex F-II"}, {0x64, 2, "Sonavex A-II"},
        {0x64, 5, "Sonavex H-II"}, {0x57, 1, nullptr},     {0x57, 3, nullptr},        {0, 0, nullptr},
        {0x10056, 1, nullptr},     {-0x56, 1, nullptr},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << c.productId << " rev " << c.pcbRevision);
        const char* name = lookupModelName(c.productId, c.pcbRevision);
        if (c.name == nullptr) {
            EXPECT_EQ(name, nullptr);
        } else {
            EXPECT_STREQ(name, c.name);
        }
    }
}

FirmwareImage imageFor(std::uint32_t productId, std::uint32_t pcbRevision, const char* modelName) {
    FirmwareImage header{};
    header.productId = productId;
    header.pcbRevision = pcbRevision;
    std::memset(header.modelName, 0xFF, sizeof header.modelName);
    std::memcpy(header.modelName, modelName, std::min(std::strlen(modelName) + 1, sizeof header.modelName));
    return header;
}

const std::string CLOSING_HINT =
    "\nPlease check the Brenmoor website for the proper firmware for your product,\n"
    "or for a more recent version of this program: https://www.brenmoor.example\n\n";

struct CompatibilityCase {
    const char* name;
    std::uint16_t switchProduct;
    std::uint16_t switchRevision;
    const char* switchModel;
    std::uint32_t imageProduct;
    std::uint32_t imageRevision;
    const char* imageModel;
    int result;
    std::string report;
};

const CompatibilityCase COMPATIBILITY_CASES[] = {
    {"same product and revision", 0x56, 3, "Sonavex F", 0x56, 3, "Sonavex F", 0, ""},
    {"image for another revision", 0x56, 4, "Sonavex G", 0x56, 3, "Sonavex F", 4,
     "\nUnsupported PCB Revision: Rev 4.\n"
     "This firmware won't work on this version of the Sonavex G,\ndevice not updated.\n" +
         CLOSING_HINT},
    {"image for another product", 0x64, 1, "Sonavex F-II", 0x56, 3, "Sonavex F", 3,
     "\nAttempting to update device: \"Sonavex F-II\"."
     "\nNew firmware is for device:  \"Sonavex F\".\n"
     "\nIncompatible firmware, device not updated.\n" +
         CLOSING_HINT},
    {"image for an unknown product", 0x56, 3, "Sonavex F", 0x57, 3, "Mystery", 1,
     "\nThe firmware file given is for a product not recognize by this program.\n" + CLOSING_HINT},
    {"image for an uncatalogued revision", 0x5A, 4, "Sonavex X", 0x5A, 4, "Sonavex X", 1,
     "\nThe firmware file given is for a product not recognize by this program.\n" + CLOSING_HINT},
    {"switch without a name", 0x56, 4, nullptr, 0x56, 3, "Sonavex F", 4,
     "\nUnsupported PCB Revision: Rev 4.\n"
     "This firmware won't work on this version of the (null),\ndevice not updated.\n" +
         CLOSING_HINT},
    {"image name filling its field", 0x64, 1, "Sonavex F-II", 0x56, 3, "0123456789abcdef0123456789ABCDEF", 3,
     "\nAttempting to update device: \"Sonavex F-II\"."
     "\nNew firmware is for device:  \"0123456789abcdef0123456789ABCDEF\".\n"
     "\nIncompatible firmware, device not updated.\n" +
         CLOSING_HINT},
};

TEST(Compatibility, ResultsAndReports) {
    for (const CompatibilityCase& c : COMPATIBILITY_CASES) {
        SCOPED_TRACE(c.name);
        DeviceIdentity identity{};
        identity.productId = c.switchProduct;
        identity.pcbRevision = c.switchRevision;
        identity.catalogueName = c.switchModel;
        FirmwareImage header = imageFor(c.imageProduct, c.imageRevision, c.imageModel);
        ImageCursor cursor{reinterpret_cast<const std::uint8_t*>(&header), &header, nullptr, nullptr};
        int result = checkCompatibility(&identity, &cursor);
        EXPECT_EQ(result, c.result);
        StdoutCapture capture;
        reportIncompatibility(result, &identity, &cursor);
        EXPECT_EQ(capture.text(), c.report);
    }
}

}   // namespace
