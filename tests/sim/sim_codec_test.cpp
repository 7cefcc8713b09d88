// The simulator's own CRC-32 and UU lines, on known values.
#include "sim_internal.h"

#include <gtest/gtest.h>
#include <cstring>
#include <string>
#include <vector>

namespace {

struct UuCase {
    std::vector<std::uint8_t> bytes;
    std::string line;
};

TEST(SimCodec, UuLinesBothWays) {
    const UuCase cases[] = {
        {{'a', 'b', 'c'}, "#86)C"},
        {{0, 0, 0}, "#````"},
        {{0xFF}, "!_P``"},
        {{0x12, 0x34}, "\"$C0`"},
    };
    for (const UuCase& c : cases) {
        EXPECT_EQ(simUuEncode(c.bytes.data(), c.bytes.size()), c.line);
        std::uint8_t out[45] = {};
        ASSERT_EQ(simUuDecode(c.line, out, 45), c.bytes.size()) << c.line;
        EXPECT_EQ(std::memcmp(out, c.bytes.data(), c.bytes.size()), 0) << c.line;
    }
    std::vector<std::uint8_t> full(45);
    for (std::size_t i = 0; i < full.size(); ++i) full[i] = static_cast<std::uint8_t>(i * 37);
    const std::string line = simUuEncode(full.data(), 45);
    EXPECT_EQ(line.size(), 61u);
    std::uint8_t out[45];
    EXPECT_EQ(simUuDecode(line, out, 45), 45u);
    EXPECT_EQ(std::memcmp(out, full.data(), 45), 0);
    EXPECT_EQ(simUuDecode(line, out, 17), 17u);
    EXPECT_EQ(simUuDecode("#    ", out, 45), 3u);   // spaces are zero sextets too
    EXPECT_EQ(out[0] | out[1] | out[2], 0);
    EXPECT_EQ(simUuDecode("", out, 45), 0u);
}

TEST(SimCodec, Crc32CheckValueAndResidue) {
    const std::uint8_t digits[] = {'1', '2', '3', '4', '5', '6', '7', '8', '9'};
    EXPECT_EQ(simCrc32(digits, 9), 0xCBF43926u);
    EXPECT_EQ(simCrc32(digits, 0), 0u);
    std::uint8_t framed[13];
    std::memcpy(framed, digits, 9);
    simStore32(framed + 9, simCrc32(digits, 9));
    EXPECT_EQ(simCrc32Update(0xFFFFFFFFu, framed, 13), SIM_CRC_RESIDUE);
}

TEST(SimCodec, BuiltTableCarriesItsChecks) {
    SimFlashImage image;
    image.kind = SIM_FLASH_TABLE;
    image.productId = 0x64;
    image.pcbRevision = 1;
    std::uint8_t application[512], table[512];
    simBuildApplication(image, application);
    simBuildTable(image, application, table);
    std::uint32_t sum = 0;
    for (int word = 0; word < 8; ++word) sum += simLoad32(application + 4 * word);
    EXPECT_EQ(sum, 0u);
    EXPECT_EQ(simLoad32(table + 40), 0x1E3CA502u);
    EXPECT_EQ(table[47], 0x64);
    EXPECT_EQ(table[46], 1);
    EXPECT_EQ(simCrc32Update(0xFFFFFFFFu, table, simLoad32(table + 48)), SIM_CRC_RESIDUE);
    EXPECT_EQ(simLoad32(table + 60), simCrc32(application, 512));
    EXPECT_EQ(simLoad32(table + 132), 0x1A000101u);
}

}   // namespace
