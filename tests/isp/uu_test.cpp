#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "isp/uu.h"

namespace {

using Bytes = std::vector<std::uint8_t>;

Bytes fromHex(const std::string& hex) {
    Bytes out;
    for (std::size_t i = 0; i + 1 < hex.size(); i += 2)
        out.push_back(static_cast<std::uint8_t>(std::stoi(hex.substr(i, 2), nullptr, 16)));
    return out;
}

std::string encode(const Bytes& data) {
    char line[UU_LINE_CAPACITY];
    char* end = uuEncodeLine(line, data.data(), static_cast<int>(data.size()));
    EXPECT_EQ(*end, '\0');
    return std::string(line, end);
}

// Decodes from a heap copy of exactly the line's length, so a read past its
// terminator is caught by the address sanitizer.
Bytes decode(const std::string& line, int limit, int* result = nullptr) {
    auto copy = std::make_unique<char[]>(line.size() + 1);
    std::memcpy(copy.get(), line.c_str(), line.size() + 1);
    Bytes out(64, 0xAA);
    int n = uuDecodeLine(out.data(), copy.get(), limit);
    if (result != nullptr) *result = n;
    EXPECT_TRUE(std::all_of(out.begin() + std::max(n, 0), out.end(), [](std::uint8_t b) { return b == 0xAA; }))
        << "bytes stored beyond the count for " << line;
    out.resize(static_cast<std::size_t>(std::max(n, 0)));
    return out;
}

// Lines computed with another implementation (Python's binascii.b2a_uu with
// backtick=True), which writes zero sextets as grave accents as ours does.
struct Vector {
    const char* hex;
    const char* line;
};
const Vector kVectors[] = {
    {"616263", "#86)C"},
    {"000000", "#````"},
    {"ff", "!_P``"},
    {"0102", "\"`0(`"},
    {"fedcba9876", "%_MRZF'8`"},
    {"48656c6c6f2c20776f726c6421", "-2&5L;&\\L('=O<FQD(0``"},
    {"000102030405060708090a0b0c0d0e0f101112131415161718191a1b1c1d1e1f202122232425262728292a2b2c",
     "M``$\"`P0%!@<(\"0H+#`T.#Q`1$A,4%187&!D:&QP='A\\@(2(C)\"4F)R@I*BLL"},
    {"c8c9cacbcccdcecfd0d1d2d3d4d5d6d7d8d9dadbdcdddedfe0e1e2e3e4e5e6e7e8e9eaebecedeeeff0f1f2f3f4",
     "MR,G*R\\S-SL_0T=+3U-76U]C9VMO<W=[?X.'BX^3EYN?HZ>KK[.WN[_#Q\\O/T"},
};

TEST(UuCodec, EncodesKnownLines) {
    for (const Vector& v : kVectors) EXPECT_EQ(encode(fromHex(v.hex)), v.line) << v.hex;
}

TEST(UuCodec, DecodesKnownLines) {
    for (const Vector& v : kVectors) {
        Bytes expected = fromHex(v.hex);
        EXPECT_EQ(decode(v.line, 45), expected) << v.line;
    }
}

TEST(UuCodec, FullLineIs61Characters) {
    Bytes data(45, 0x5A);
    std::string line = encode(data);
    EXPECT_EQ(line.size(), 61u);
    EXPECT_EQ(line[0], 'M');
}

TEST(UuCodec, RoundTripsEveryLengthOverLines) {
    std::mt19937 random(12345);
    for (int total = 0; total <= 91; ++total) {
        Bytes data(static_cast<std::size_t>(total));
        for (auto& b : data) b = static_cast<std::uint8_t>(random());
        Bytes back;
        for (int offset = 0; offset < total; offset += 45) {
            int n = std::min(45, total - offset);
            Bytes part(data.begin() + offset, data.begin() + offset + n);
            std::string line = encode(part);
            EXPECT_EQ(line.size(), 1u + 4u * static_cast<unsigned>((n + 2) / 3)) << total;
            EXPECT_EQ(line.find(' '), std::string::npos) << "zero sextets must be grave accents";
            Bytes got = decode(line, 45);
            back.insert(back.end(), got.begin(), got.end());
        }
        EXPECT_EQ(back, data) << total;
    }
}

TEST(UuCodec, DecodeLimitsAndZeroForms) {
    struct Case {
        const char* name;
        std::string line;
        int limit;
        Bytes expected;
    };
    const std::string full = encode(Bytes(45, 0x11));
    const Case cases[] = {
        {"limit cuts a full line", full, 17, Bytes(17, 0x11)},
        {"grave-accent length is 0", "`86)C", 45, {}},
        {"space length is 0", " 86)C", 45, {}},
        {"spaces are zero sextets", "$     0  ", 45, {0, 0, 0, 1}},
        {"grave accents are zero sextets", "$````!```", 45, {0, 0, 0, 4}},
        {"one byte reads two characters", "!_P", 45, {0xFF}},
        {"empty line stores nothing", "", 45, {}},
        {"limit 0 stores nothing", "#86)C", 0, {}},
        {"negative limit stores nothing", "#86)C", -3, {}},
        {"missing characters decode as zero", "#86", 3, {'a', 0x60, 0}},
        {"length character alone", "#", 3, {0, 0, 0}},
    };
    for (const Case& c : cases) {
        int result = -1;
        Bytes got = decode(c.line, c.limit, &result);
        EXPECT_EQ(result, static_cast<int>(c.expected.size())) << c.name;
        EXPECT_EQ(got, c.expected) << c.name;
    }
}

TEST(UuCodec, EncodeZeroBytesIsLengthOnly) {
    EXPECT_EQ(encode({}), "`");
}

}   // namespace
