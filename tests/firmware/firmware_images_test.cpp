#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "firmware/firmware.h"
#include "crc32/crc32.h"
#include "image/image.h"

namespace {
struct ExpectedImage {
    std::uint32_t totalLength, productId, pcbRevision, appLength, paramOffset, paramAddress;
    const char* modelName;
    bool standin;   // lengths are only fixed for the generated stand-ins
};

constexpr ExpectedImage EXPECTED[FIRMWARE_IMAGE_COUNT] = {
    {146268, 0x56, 3, 146040, 0x23AC8, 0x1A07FE00, "Sonavex F", BMFWU_IMAGE1_STANDIN},
    {145712, 0x64, 1, 145484, 0x2389C, 0x1A03FE00, "Sonavex F-II", BMFWU_IMAGE2_STANDIN},
};

std::uint32_t le32(const std::uint8_t* bytes) {
    return bytes[0] | bytes[1] << 8 | bytes[2] << 16 | std::uint32_t{bytes[3]} << 24;
}

const FirmwareImage& headerOf(int image) {
    return *reinterpret_cast<const FirmwareImage*>(firmwareImages[image]);
}
const std::uint8_t* applicationOf(int image) {
    return firmwareImages[image] + headerOf(image).appOffset;
}
const std::uint8_t* parametersOf(int image) {
    return firmwareImages[image] + headerOf(image).paramOffset;
}

// The 32-byte name field: the name, its NUL, then 0xFF.
std::string nameField(const char* name) {
    std::string field(name);
    field.push_back('\0');
    field.resize(32, '\xFF');
    return field;
}

TEST(FirmwareImages, BothValidateAndFillTheirTableSize) {
    for (int image = 0; image < FIRMWARE_IMAGE_COUNT; ++image) {
        ASSERT_NE(firmwareImages[image], nullptr);
        EXPECT_EQ(reinterpret_cast<std::uintptr_t>(firmwareImages[image]) % 4, 0u) << image;
        ImageCursor cursor{firmwareImages[image], nullptr, nullptr, nullptr};
        testing::internal::CaptureStdout();
        EXPECT_EQ(validateImage("Firmware", &cursor), 0) << image;
        EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
        EXPECT_EQ(firmwareImageSizes[image], headerOf(image).totalLength) << image;
    }
}

TEST(FirmwareImages, HeadersHoldTheirProductValues) {
    for (int image = 0; image < FIRMWARE_IMAGE_COUNT; ++image) {
        const FirmwareImage& h = headerOf(image);
        const ExpectedImage& e = EXPECTED[image];
        EXPECT_EQ(h.formatWord, 0x01000000u) << image;
        EXPECT_EQ(h.productId, e.productId) << image;
        EXPECT_EQ(h.pcbRevision, e.pcbRevision) << image;
        EXPECT_EQ(h.version, 0x03040000u) << image;
        EXPECT_EQ(h.appOffset, 0x50u) << image;
        EXPECT_EQ(h.appAddress, 0x1A000000u) << image;
        EXPECT_EQ(h.paramAddress, e.paramAddress) << image;
        EXPECT_EQ(h.paramLength, 144u) << image;
        EXPECT_EQ(h.reserved, 0u) << image;
        EXPECT_EQ(std::string(h.modelName, 32), nameField(e.modelName)) << image;
        EXPECT_EQ(h.paramOffset, h.appOffset + h.appLength) << image;
        EXPECT_EQ(h.totalLength, h.paramOffset + h.paramLength + 4) << image;
        if (!e.standin) continue;
        EXPECT_EQ(h.totalLength, e.totalLength) << image;
        EXPECT_EQ(h.appLength, e.appLength) << image;
        EXPECT_EQ(h.paramOffset, e.paramOffset) << image;
    }
}

TEST(FirmwareImages, ParameterBlocksDescribeTheirApplications) {
    for (int image = 0; image < FIRMWARE_IMAGE_COUNT; ++image) {
        const FirmwareImage& h = headerOf(image);
        const std::uint8_t* p = parametersOf(image);
        const std::uint8_t* app = applicationOf(image);
        EXPECT_EQ(le32(p + 0), h.appLength) << image;
        EXPECT_EQ(le32(p + 4), h.version) << image;
        EXPECT_EQ(std::memcmp(p + 8, h.modelName, 32), 0) << image;
        EXPECT_EQ(le32(p + 40), 0x1E3CA502u) << image;
        EXPECT_EQ(p[47], h.productId) << image;
        EXPECT_EQ(p[46], h.pcbRevision) << image;
        EXPECT_EQ(le32(p + 48), 144u) << image;
        EXPECT_EQ(le32(p + 52), h.appAddress) << image;
        EXPECT_EQ(le32(p + 56), 512u) << image;
        EXPECT_EQ(le32(p + 60), crc32Final(crc32Update(crc32Init(), app, 512))) << image;
        EXPECT_EQ(std::string(reinterpret_cast<const char*>(p + 64), 68), std::string(68, '\xFF')) << image;
        EXPECT_EQ(le32(p + 132), le32(app + 4)) << image;
        EXPECT_EQ(le32(p + 136), 0u) << image;
        EXPECT_EQ(crc32Update(crc32Init(), p, 144), CRC32_RESIDUE) << image;
    }
}

TEST(FirmwareImages, ApplicationsCarryAVectorTableTheBootRomAccepts) {
    for (int image = 0; image < FIRMWARE_IMAGE_COUNT; ++image) {
        const FirmwareImage& h = headerOf(image);
        const std::uint8_t* app = applicationOf(image);
        const std::uint32_t stackPointer = le32(app);
        EXPECT_GE(stackPointer, 0x10000000u) << image;
        EXPECT_LE(stackPointer, 0x10007FFFu) << image;
        const std::uint32_t reset = le32(app + 4);
        EXPECT_EQ(reset & 1, 1u) << "Thumb bit, image " << image;
        EXPECT_GE(reset, h.appAddress) << image;
        EXPECT_LT(reset, h.appAddress + h.appLength - 4) << image;
        std::uint32_t sum = 0;
        for (int word = 0; word < 8; ++word) sum += le32(app + 4 * word);
        EXPECT_EQ(sum, 0u) << image;
    }
}
}   // namespace
