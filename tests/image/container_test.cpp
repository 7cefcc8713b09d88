#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "crc32/crc32.h"
#include "firmware/firmware.h"
#include "image/image.h"

namespace {
const std::uint8_t* const UNSET = reinterpret_cast<const std::uint8_t*>(&UNSET);   // sentinel pointer

// A writable copy of the first compiled-in container, aligned as the original.
class Container {
  public:
    Container() : words_((firmwareImageSizes[0] + 3) / 4) { std::memcpy(bytes(), firmwareImages[0], size()); }
    std::uint8_t* bytes() { return reinterpret_cast<std::uint8_t*>(words_.data()); }
    std::uint32_t size() const { return firmwareImageSizes[0]; }
    const FirmwareImage& header() { return *reinterpret_cast<const FirmwareImage*>(bytes()); }
    std::uint32_t& field(std::uint32_t offset) { return *reinterpret_cast<std::uint32_t*>(bytes() + offset); }

    // Makes the container CRC match again, so that only an inner region is damaged.
    void resealContainer() {
        const std::uint32_t length = header().totalLength - 4;
        field(length) = crc32Final(crc32Update(crc32Init(), bytes(), length));
    }
    std::uint32_t residue(std::uint32_t offset, std::uint32_t length) {
        return crc32Update(crc32Init(), bytes() + offset, length);
    }

  private:
    std::vector<std::uint32_t> words_;
};

struct Validation {
    int result;
    std::string output;
    ImageCursor cursor;
};

Validation validate(Container& container, const char* displayName) {
    ImageCursor cursor{container.bytes(), nullptr, UNSET, UNSET};
    testing::internal::CaptureStdout();
    const int result = validateImage(displayName, &cursor);
    return Validation{result, testing::internal::GetCapturedStdout(), cursor};
}

std::string badCrcMessage(const char* what, const char* name, std::uint32_t residue) {
    char text[160];
    std::snprintf(text, sizeof text, "\nError: Bad CRC of %s\"%s\"\nMAGIC_CRC=%08X, CRC=%08X.\n", what, name,
                  static_cast<unsigned>(residue), static_cast<unsigned>(~residue));
    return text;
}

TEST(ValidateImage, IntactContainerFillsTheCursorSilently) {
    Container container;
    const Validation v = validate(container, "Firmware");
    EXPECT_EQ(v.result, 0);
    EXPECT_EQ(v.output, "");
    EXPECT_EQ(reinterpret_cast<const std::uint8_t*>(v.cursor.header), container.bytes());
    EXPECT_EQ(v.cursor.application, container.bytes() + 0x50);
    EXPECT_EQ(v.cursor.parameters, container.bytes() + container.header().paramOffset);
}

TEST(ValidateImage, DamagedHeaderFailsTheContainerCheck) {
    const struct {
        std::uint32_t offset;
        std::uint8_t flip;
    } cases[] = {{0x00, 0x04}, {0x08, 0x01}, {0x10, 0x80}, {0x14, 0x10}, {0x30, 0x20}, {0x4F, 0xFF}};
    for (const auto& c : cases) {
        Container container;
        container.bytes()[c.offset] ^= c.flip;   // a shorter totalLength stays inside the copy
        const std::uint32_t residue = container.residue(0, container.header().totalLength);
        const Validation v = validate(container, "Firmware");
        EXPECT_EQ(v.result, 4) << "offset " << c.offset;
        EXPECT_EQ(v.output, badCrcMessage("file ", "Firmware", residue)) << "offset " << c.offset;
        EXPECT_EQ(v.cursor.application, UNSET);
        EXPECT_EQ(v.cursor.parameters, UNSET);
    }
}

TEST(ValidateImage, DamagedRegionUnderAnIntactContainerCrcFailsTheRegionCheck) {
    Container probe;
    const std::uint32_t paramOffset = probe.header().paramOffset;
    const struct {
        std::uint32_t offset;
        bool inParameters;
    } cases[] = {{0x50, false},       {0x50 + 511, false},       {paramOffset - 1, false},
                 {paramOffset, true}, {paramOffset + 132, true}, {paramOffset + 143, true}};
    for (const auto& c : cases) {
        Container container;
        container.bytes()[c.offset] ^= 0x04;
        container.resealContainer();
        const FirmwareImage& h = container.header();
        const std::uint32_t residue = c.inParameters ? container.residue(h.paramOffset, h.paramLength)
                                                     : container.residue(h.appOffset, h.appLength);
        const Validation v = validate(container, "Firmware");
        EXPECT_EQ(v.result, 5) << "offset " << c.offset;
        EXPECT_EQ(v.output, badCrcMessage("firmware in file ", "Firmware", residue)) << "offset " << c.offset;
        EXPECT_EQ(v.cursor.application, container.bytes() + 0x50);
        EXPECT_EQ(v.cursor.parameters, c.inParameters ? container.bytes() + paramOffset : UNSET);
    }
}

TEST(ValidateImage, MessagesShowNullNameAndZeroPaddedHex) {
    // Find a damage whose residue starts with a zero digit, to see the padding.
    for (unsigned value = 0; value < 256; ++value) {
        Container container;
        container.bytes()[0x40] = static_cast<std::uint8_t>(value);   // model-name padding
        const std::uint32_t residue = container.residue(0, container.header().totalLength);
        if (residue == CRC32_RESIDUE || residue >= 0x10000000) continue;
        const Validation v = validate(container, nullptr);
        EXPECT_EQ(v.result, 4);
        EXPECT_EQ(v.output, badCrcMessage("file ", "(null)", residue));
        EXPECT_NE(v.output.find("MAGIC_CRC=0"), std::string::npos) << v.output;
        return;
    }
    FAIL() << "no byte value gave a residue below 0x10000000";
}

TEST(ValidateImage, RegionsOutsideTheContainerAreRefusedBeforeTheyAreRead) {
    const struct {
        std::uint32_t offset;
        std::uint32_t value;
    } cases[] = {
        {0x20, 0x7FFFFFF0},   // paramOffset far past the end
        {0x28, 0x1000},       // paramLength past the end
        {0x14, 0xFFFFFFF0},   // appOffset + appLength wraps 32 bits
        {0x1C, 0xFFFFFFFF},   // appLength past the end
    };
    for (const auto& c : cases) {
        Container container;
        container.field(c.offset) = c.value;
        container.resealContainer();
        const Validation v = validate(container, "Firmware");
        EXPECT_EQ(v.result, 4) << "offset " << c.offset;
        EXPECT_EQ(v.output, "\nError: Bad layout of file \"Firmware\"\n") << "offset " << c.offset;
        EXPECT_EQ(v.cursor.application, UNSET);
    }
}
}   // namespace
