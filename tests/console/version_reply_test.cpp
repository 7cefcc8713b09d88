#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "console/identity_query.h"

namespace {

struct ReplyCase {
    const char* reply;
    int result;
    std::uint32_t version;
    std::uint16_t productId;
    std::uint16_t pcbRevision;
    const char* nameText;
    const char* modelName;   // expected text; nullptr: none
};

const char* const UNTOUCHED = "untouched";

DeviceIdentity freshIdentity() {
    DeviceIdentity identity{};
    identity.catalogueName = UNTOUCHED;
    return identity;
}

const ReplyCase REPLY_CASES[] = {
    {"^=V \"Hall 3\" 3.04", 0, 0x03040000, 0, 0, "Hall 3", "Hall 3"},
    {"^=V \"Sonavex F\" 2.10.3b,86,3,1f", 0, 0x020A2003, 86, 3, "Sonavex F", "Sonavex F"},
    {"^=V \"X\" 1.5p", 0, 0x01060000, 0, 0, "X", "X"},    // "p" carries into minor
    {"^=V \"X\" 300.1", 0, 0x2C010000, 0, 0, "X", "X"},   // major keeps its low 8 bits
    {"^=V \"X\" 3.04(rc2, built 12:00),100,1,0x7F", 0, 0x03040000, 100, 1, "X", "X"},
    {"^=V \"X\" 3.4,65622,65537,0", 0, 0x03040000, 86, 1, "X", "X"},   // low 16 bits kept
    {"^=V \"\" 3.04,86,4,0", 0, 0x03040000, 86, 4, "", "Sonavex G"},   // name from the catalogue
    {"^=V \"\" 3.04", 0, 0x03040000, 0, 0, "", nullptr},               // no name anywhere
    {"^=V \"\" 3.04,87,1,0", 0, 0x03040000, 87, 1, "", nullptr},
    {"^=V \"X\" ", 0, 0, 0, 0, "X", "X"},   // missing numbers read 0
    {"^=V \"X\" 1.2.-1", 0, 0x01020000 - 1, 0, 0, "X", "X"},
    {"^=V \"X\" 99999999999.0", 0, 0xFF000000, 0, 0, "X", "X"},   // saturates, then shifts
    {"^=V \"X\" 3.04a", 0, 0x03041000, 0, 0, "X", "X"},
    {"^=V \"X\" 3.04A", 3, 0x03040000, 0, 0, "X", UNTOUCHED},           // capitals are no letter
    {"^=V \"X\" 3.04,86,3,0 ", 3, 0x03040000, 86, 3, "X", UNTOUCHED},   // stray space at the end
    {"^=V \"X\" 3.04(unclosed", 3, 0x03040000, 0, 0, "X", UNTOUCHED},
    {"^=V \"X\" 3.04(", 3, 0x03040000, 0, 0, "X", UNTOUCHED},
    {"^=V \"X\" 3.04 beta", 3, 0x03040000, 0, 0, "X", UNTOUCHED},
    {"^=V \"unterminated", 2, 0, 0, 0, "unterminated", UNTOUCHED},
    {"^=V \"", 2, 0, 0, 0, "", UNTOUCHED},
    {"^=V \"1234567890123456789012345678901\" 1.0", 0, 0x01000000, 0, 0, "1234567890123456789012345678901",
     "1234567890123456789012345678901"},
    {"^=V \"12345678901234567890123456789012\" 1.0", 2, 0, 0, 0, "1234567890123456789012345678901", UNTOUCHED},
    {"^=V\"X\" 3.04", 1, 0, 0, 0, "", UNTOUCHED},
    {"^=P", 1, 0, 0, 0, "", UNTOUCHED},
    {"^+", 1, 0, 0, 0, "", UNTOUCHED},
    {"^+ ", 1, 0, 0, 0, "", UNTOUCHED},
    {"", 1, 0, 0, 0, "", UNTOUCHED},
};

TEST(ParseVersionReply, GrammarAndResults) {
    for (const ReplyCase& c : REPLY_CASES) {
        SCOPED_TRACE(c.reply);
        DeviceIdentity identity = freshIdentity();
        EXPECT_EQ(parseVersionReply(&identity, c.reply), c.result);
        EXPECT_EQ(identity.version, c.version);
        EXPECT_EQ(identity.productId, c.productId);
        EXPECT_EQ(identity.pcbRevision, c.pcbRevision);
        EXPECT_STREQ(identity.nameText, c.nameText);
        // A copy keeps the name when the original is reused for another switch.
        const DeviceIdentity copy = identity;
        std::memset(identity.nameText, 'Z', sizeof identity.nameText - 1);
        if (c.modelName == UNTOUCHED || c.modelName == nullptr) {
            EXPECT_EQ(modelNameOf(copy), c.modelName);
        } else {
            EXPECT_STREQ(modelNameOf(copy), c.modelName);
        }
    }
}

TEST(ParseVersionReply, LongNameNeverOverrunsTheRecord) {
    DeviceIdentity identity = freshIdentity();
    std::memset(identity.nameText, 'Z', sizeof identity.nameText);
    std::string reply = "^=V \"" + std::string(200, 'n') + "\" 1.0";
    EXPECT_EQ(parseVersionReply(&identity, reply.c_str()), 2);
    EXPECT_EQ(std::strlen(identity.nameText), 31u);
    EXPECT_EQ(identity.nameText[32], 'Z');
}

}   // namespace
