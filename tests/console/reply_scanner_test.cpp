#include <gtest/gtest.h>

#include <string>

#include "console/reply_scanner.h"
#include "support/stdout_capture.h"

namespace {

constexpr std::uint32_t TIME_SENTINEL = 0xDEADBEEFu;

struct ScanResult {
    std::string output;
    int appReady;
    bool progressTimeSet;
};

ReplyScanner scanner;

ScanResult feed(const std::string& bytes) {
    feedReplyByte(scanner, '^');   // a fresh reply, whatever earlier cases left behind
    feedReplyByte(scanner, '$');
    scanner.appReady = 0;
    scanner.lastDspProgressTime = TIME_SENTINEL;
    StdoutCapture capture;
    for (unsigned char byte : bytes) feedReplyByte(scanner, byte);
    std::string output = capture.text();
    return {output, scanner.appReady, scanner.lastDspProgressTime != TIME_SENTINEL};
}

struct ScanCase {
    const char* name;
    std::string bytes;
    std::string output;
    int appReady;
    bool progressTimeSet;
};

const ScanCase SCAN_CASES[] = {
    {"ready", "^=P$", "", 1, false},
    {"ready with digit", "^=P1$", "", 1, false},
    {"ready followed by a capital", "^=PA$", "", 0, false},
    {"ready followed by a letter", "^=Pa$", "", 0, false},
    {"progress mid-way", "^!100,2,3$", "\rUpdating DSPs: Bank = 2, Complete =  66%", 0, true},
    {"progress first step", "^!100,1,0$", "\n\rUpdating DSPs: Bank = 1, Complete =  16%", 0, true},
    {"progress last step", "^!100,1,5$", "\rUpdating DSPs: Bank = 1, Complete = 100%", 0, true},
    {"progress step out of range", "^!100,1,6$", "\rUpdating DSPs: Bank = 1, Complete = 116%", 0, true},
    {"progress without fields", "^!100$", "\n\rUpdating DSPs: Bank = 0, Complete =  16%", 0, true},
    {"progress with negative step", "^!100,1,-2$", "\rUpdating DSPs: Bank = 1, Complete = 4294967280%", 0, true},
    {"progress with huge step", "^!100,1,2147483647$", "\rUpdating DSPs: Bank = 1, Complete =   0%", 0, true},
    {"plain notice", "^! hello$", "! hello$", 0, false},
    {"notice without its end", "^! hello", "", 0, false},
    {"notice followed by a letter", "^!hello$", "", 0, false},
    {"notice followed by a capital", "^!Hello$", "", 0, false},
    {"notice with another code", "^!7$", "!7$", 0, false},
    {"line breaks inside a reply", "^! he\r\nllo$", "! hello$", 0, false},
    {"high bytes ignored",
     "^! h\x80\xff"
     "i$",
     "! hi$", 0, false},
    {"second caret restarts", "^! lost^! kept$", "! kept$", 0, false},
    {"text without caret", "! bare$", "! bare$", 0, false},
    {"set zone consumed", "^=SZ1,2$", "", 0, false},
    {"version notice consumed", "^=V \"X\" 1.0$", "", 0, false},
    {"unknown reply dropped", "^=Q$", "", 0, false},
    {"several replies", "^!100,3,1$^=P$", "\rUpdating DSPs: Bank = 3, Complete =  33%", 1, true},
};

TEST(ReplyScanner, TokensAndHandlers) {
    for (const ScanCase& c : SCAN_CASES) {
        SCOPED_TRACE(c.name);
        ScanResult result = feed(c.bytes);
        EXPECT_EQ(result.output, c.output);
        EXPECT_EQ(result.appReady, c.appReady);
        EXPECT_EQ(result.progressTimeSet, c.progressTimeSet);
    }
}

TEST(ReplyScanner, LongReplyIsCutTo254Characters) {
    std::string body = "! " + std::string(298, 'x');
    ScanResult result = feed("^" + body + "$");
    EXPECT_EQ(result.output, body.substr(0, 254) + "$");
    EXPECT_EQ(scanner.length, 0);
}

}   // namespace
