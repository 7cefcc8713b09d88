#include "format/format.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <type_traits>
#include <vector>

namespace {

void appendToString(int character, void* context) {
    static_cast<std::string*>(context)->push_back(static_cast<char>(character));
}

std::string renderArgs(const char* format, ...) {
    std::string text;
    std::va_list args;
    va_start(args, format);
    formatOutput(appendToString, &text, format, args);
    va_end(args);
    return text;
}

// Numbers travel as the 32-bit int the engine reads, texts as they are.
template <typename T>
auto slot(T value) {
    if constexpr (std::is_integral_v<T>) {
        return static_cast<int>(static_cast<std::uint32_t>(value));
    } else {
        return value;
    }
}

struct Case {
    const char* format;
    std::string actual;
    std::string expected;
};

template <typename... Args>
Case row(const char* expected, const char* format, Args... args) {
    return {format, renderArgs(format, slot(args)...), expected};
}

void expectAll(const std::vector<Case>& cases) {
    for (std::size_t i = 0; i < cases.size(); ++i) {
        EXPECT_EQ(cases[i].actual, cases[i].expected) << "row " << i << ", format \"" << cases[i].format << "\"";
    }
}

const char* const NO_TEXT = nullptr;

TEST(FormatOutput, UnsignedAndDigitCount) {
    expectAll({
        row("0", "%u", 0),
        row("4294967295", "%u", 4294967295u),
        row("4294967295", "%u", -1),
        row(" 66", "%3u", 66),
        row("5000", "%3u", 5000),
        row("05", "%02u", 5),
        row("123", "%02u", 123),
        row("  0000000005", "%012u", 5),
        row("0", "%0u", 0),
        row("         7", "%10u", 7),
        row("4294967295", "%05u", 4294967295u),
        row("5", "%+u", 5),
        row("   7", "%-4u", 7),
    });
}

TEST(FormatOutput, SignedNumbers) {
    expectAll({
        row("-5", "%d", -5),
        row(" -5", "%3d", -5),
        row("-05", "%03d", -5),
        row("+5", "%+d", 5),
        row(" 5", "% d", 5),
        row("5", "%d", 5),
        row("-5", "% d", -5),
        row("-5", "%+d", -5),
        row("+0", "%+d", 0),
        row("-2147483648", "%d", INT32_MIN),
        row("-2147483648", "%010d", INT32_MIN),
        row("+0005", "%+05d", 5),
        row(" 0005", "% 05d", 5),
        row("   +5", "%+5d", 5),
        row(" -0000000005", "%012d", -5),
        row("12345", "%4d", 12345),
    });
}

TEST(FormatOutput, HexBinaryOctal) {
    expectAll({
        row("ff", "%x", 255),
        row("FF", "%X", 255),
        row("000000FF", "%08X", 255),
        row("ff", "%+X", 255),
        row("ff", "% X", 255),
        row("abcdef", "%p", 0xABCDEF),
        row("ABCDEF", "%P", 0xABCDEF),
        row("ffffffff", "%x", -1),
        row("  0000001a", "%010x", 0x1A),
        row("   A", "%4X", 0xA),
        row("101", "%b", 5),
        row("00000101", "%08b", 5),
        row("11111111111111111111111111111111", "%b", -1),
        row("101", "%+b", 5),
        row("0", "%b", 0),
        row("10", "%o", 8),
        row("37777777770", "%o", -8),
        row("37777777770", "%05o", -8),
        row("-10", "%+o", -8),
        row("+10", "%+o", 8),
        row(" 10", "% o", 8),
        row("-00000000010", "%+012o", -8),
        row("  -10", "%+5o", -8),
    });
}

TEST(FormatOutput, PrefixCharacter) {
    expectAll({
        row("$5", "%$u", 5),
        row("   $5", "%5$u", 5),
        row("$-5", "%$d", -5),
        row("$0005", "%$05u", 5),
        row("#7", "%@u", '#', 7),
        row("#0AB", "%@04X", '#', 0xAB),
        row(" $5", "% $d", 5),
        row("$+5", "%+$d", 5),
        row("$ff", "%$x", 255),
    });
}

TEST(FormatOutput, Grouping) {
    expectAll({
        row("1,234,567", "%,u", 1234567),
        row("999", "%,u", 999),
        row("1,234", "%,u", 1234),
        row("    1,234", "%9,u", 1234),
        row("0,001,234,567", "%013,u", 1234567),
        row("0", "%,u", 0),
        row("1,000", "%,u", 1000),
        row("4,294,967,295", "%,u", 4294967295u),
        row("01,234,567", "%010,u", 1234567),
        row(" 000,005", "%08,u", 5),
        row(" 001,234,567", "%012,u", 1234567),
        row("     1,234,567", "%14,u", 1234567),
        row("-1,234,567", "%,d", -1234567),
        row("-00,001,234", "%011,d", -1234),
        row("+1,234", "%+,d", 1234),
        row("$1,234,567", "%$,u", 1234567),
        row("12345", "%,x", 0x12345),
        row("1234567", "%,o", 01234567),
    });
}

TEST(FormatOutput, FieldWidthAroundDigitCount) {
    expectAll({
        row("        42", "%10.5u", 42),
        row("42    ", "%-6.2u", 42),
        row("      42", "%8.3u", 42),
        row(" 42     ", "%-8.3u", 42),
        row("       1,234", "%12.9,u", 1234),
        row("   0,001,234", "%012.9,u", 1234),
        row("    1,234   ", "%-12.9,u", 1234),
        row("   42", "%*u", 5, 42),
        row("00042", "%0*u", 5, 42),
        row("      42", "%*.*u", 8, 3, 42),
        row("   -5", "%5.03d", -5),
    });
}

TEST(FormatOutput, Strings) {
    expectAll({
        row("hello", "%s", "hello"),
        row("abcde", "%5s", "abcdefg"),
        row("     abc", "%8.3s", "abcdefg"),
        row("abc     ", "%-8.3s", "abcdefg"),
        row("abc", "%10s", "abc"),
        row("   abc", "%6.s", "abc"),
        row("abc   ", "%-6.s", "abc"),
        row("abcde", "%2.5s", "abcdefg"),
        row("", "%s", ""),
        row("abc", "%S", 3, "abcdef"),
        row("abc", "%S", 10, "abc"),
        row("ab", "%2S", 5, "abcdef"),
        row("     abc", "%8.S", 3, "abcdef"),
        row("abc     ", "%-8.S", 3, "abcdef"),
        row("  abc       ", "%12.S", 10, "abc"),
        row("", "%S", -1, "abc"),
        row("    ", "%4.S", -1, "abc"),
        row("", "%s", NO_TEXT),
        row("    |", "%4.s|", NO_TEXT),
    });
}

TEST(FormatOutput, DottedQuad) {
    const std::uint32_t address = 10u | 20u << 8 | 3u << 16 | 40u << 24;
    expectAll({
        row("10.20.3.40", "%i", address),
        row("010.020.003.040", "%03i", address),
        row(" 10. 20.  3. 40", "%3i", address),
        row(" 10. 20.  3. 40", "%10.3I", address),
        row(" 10. 20.  3. 40", "%-3i", address),
        row("10.20.3.40", "%+$,i", address),
        row("255.255.255.255", "%i", -1),
    });
}

TEST(FormatOutput, WalkAndSettingsReset) {
    expectAll({
        row("%", "%%"),
        row("lu7", "%lu%u", 7),
        row("hd5", "%hd%d", 5),
        row("abc", "abc%"),
        row("A", "%c", 65),
        row("A", "%5c", 65),
        row("B|", "%-5c|", 66),
        row("A", "%c", 0x141),
        row("%", "%5%"),
        row("q", "%q"),
        row("x1     |2|", "x%-6.u|%u|", 1, 2),
        row("x     1|2|", "x%-6u|%u|", 1, 2),
        row("       1|2|", "%8.2u|%u|", 1, 2),
        row("ab      |cd|", "%-8.s|%s|", "ab", "cd"),
        row("00001|  2", "%05u|%3u", 1, 2),
        row("+5 5", "%+d %d", 5, 5),
        row("$5 5", "%$u %u", 5, 5),
        row("1,234 1234", "%,u %u", 1234, 1234),
        row("R 268435456 4\r\n", "R %u %u\r\n", 268435456, 4),
    });
}

void appendCode(int character, void* context) {
    static_cast<std::vector<int>*>(context)->push_back(character);
}

std::vector<int> codesOf(const char* format, ...) {
    std::vector<int> codes;
    std::va_list args;
    va_start(args, format);
    formatOutput(appendCode, &codes, format, args);
    va_end(args);
    return codes;
}

TEST(FormatOutput, HandsOnCharactersSignExtended) {
    EXPECT_EQ(codesOf("\xE9%c%@u", 0x1E9, 0xA4, 1), (std::vector<int>{-23, -23, -92, '1'}));
}

struct NumberCase {
    std::uint32_t value;
    int base;
    int digitCount;
    int signMode;
    unsigned flags;
    int prefix;
    const char* expected;
};

TEST(FormatNumber, ReturnsEveryCharacterItEmits) {
    const NumberCase cases[] = {
        {42, 10, 5, SIGN_NONE, NUMBER_SPACE_PAD, 0, "   42"},
        {5, 10, 12, SIGN_NONE, 0, 0, "  0000000005"},
        {static_cast<std::uint32_t>(-5), 10, 3, SIGN_NEGATIVE, NUMBER_SPACE_PAD, '$', "$-5"},
        {1234, 10, 14, SIGN_NONE, NUMBER_SPACE_PAD | NUMBER_GROUPING, 0, "         1,234"},
        {7, 7, 0, SIGN_NONE, NUMBER_SPACE_PAD, 0, "7"},
        {255, 0, 0, SIGN_NONE, NUMBER_SPACE_PAD, 0, "255"},
        {255, 16, 0, SIGN_PLUS, NUMBER_SPACE_PAD, 0, "ff"},
        {255, 16, 0, SIGN_NONE, NUMBER_SPACE_PAD, 0, "FF"},
        {5, 2, 0, SIGN_NONE, NUMBER_GROUPING, 0, "101"},
    };
    for (const NumberCase& c : cases) {
        std::string text;
        const int count = formatNumber(appendToString, &text, c.value, c.base, c.digitCount, c.signMode, c.flags,
                                       c.prefix);
        EXPECT_EQ(text, c.expected);
        EXPECT_EQ(count, static_cast<int>(text.size())) << c.expected;
    }
}

TEST(PadSpaces, EmitsOnlyWhenEnabledAndPositive) {
    const struct {
        int enabled;
        int count;
        const char* expected;
    } cases[] = {{1, 3, "   "}, {0, 3, ""}, {1, 0, ""}, {1, -2, ""}};
    for (const auto& c : cases) {
        std::string text;
        EXPECT_EQ(padSpaces(appendToString, &text, c.enabled, c.count),
                  static_cast<int>(std::string(c.expected).size()));
        EXPECT_EQ(text, c.expected);
    }
}

}   // namespace
