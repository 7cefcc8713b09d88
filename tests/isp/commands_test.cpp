#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <fstream>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "fake_port.h"
#include "format/support_trace.h"
#include "isp/isp.h"
#include "isp/resync.h"
#include "isp/table.h"
#include "link/serial.h"
#include "reference_uu.h"
#include "support/stdout_capture.h"

namespace {

using Bytes = std::vector<std::uint8_t>;

Bytes pattern(std::size_t n, unsigned seed) {
    Bytes out(n);
    for (std::size_t i = 0; i < n; ++i) out[i] = static_cast<std::uint8_t>(i * 7 + seed + (i >> 8));
    return out;
}

// Every reply is the same text, whatever was sent.
std::function<std::string(const std::string&, unsigned)> answer(std::string reply) {
    return [reply](const std::string&, unsigned) { return reply; };
}

class Commands : public FakePortTest {};

TEST_F(Commands, SendExactLinesAndJudgeTheFirstCharacter) {
    struct Case {
        const char* name;
        std::function<int()> call;
        std::string reply;
        std::string sent;
        int result;
        int code;              // the return code the exchange keeps
        bool damage = false;   // counted as the bootloader showing it got a damaged command
    };
    const Case cases[] = {
        {"unlock", [this] { return nxpUnlock(fakeLink); }, "0\r\n", "U 23130\r\n", 0, 0},
        {"unlock refused", [this] { return nxpUnlock(fakeLink); }, "16\r\n", "U 23130\r\n", 1, 16, true},
        {"unlock answer spoilt on the way back", [this] { return nxpUnlock(fakeLink); }, "16x\r\n", "U 23130\r\n", 1, 16},
        {"unlock answered beyond the codes", [this] { return nxpUnlock(fakeLink); }, "50\r\n", "U 23130\r\n", 1, 50},
        {"unlock unanswered", [this] { return nxpUnlock(fakeLink); }, "", "U 23130\r\n", 1, -1},
        {"go", [this] { return nxpGo(fakeLink, 0x1A00D838); }, "0\r\n", "G 436262968 T\r\n", 0, 0},
        {"go unanswered counts as started", [this] { return nxpGo(fakeLink, 0x1A00D838); }, "", "G 436262968 T\r\n", 0, -1},
        {"go refused", [this] { return nxpGo(fakeLink, 0x1A00D838); }, "19\r\n", "G 436262968 T\r\n", 1, 19, true},
        {"go answer spoilt counts as started", [this] { return nxpGo(fakeLink, 0x1A00D838); }, "?\r\n",
         "G 436262968 T\r\n", 0, -2},
        {"go answered beyond the codes counts as started", [this] { return nxpGo(fakeLink, 0x1A00D838); }, "80\r\n",
         "G 436262968 T\r\n", 0, 80},
        {"prepare reduces to 8 bits", [this] { return nxpPrepare(fakeLink, 0, 300, 0); }, "0\r\n", "P 0 44 0\r\n", 0, 0},
        {"prepare refused", [this] { return nxpPrepare(fakeLink, 3, 5, 1); }, "7\r\n", "P 3 5 1\r\n", 1, 7, true},
        {"erase", [this] { return nxpErase(fakeLink, 1, 14, 256); }, "0\r\n", "E 1 14 0\r\n", 0, 0},
        {"erase not prepared", [this] { return nxpErase(fakeLink, 1, 14, 0); }, "9\r\n", "E 1 14 0\r\n", 1, 9, true},
        {"copy", [this] { return nxpCopy(fakeLink, 0x1A000000, 0x10000000, 4096); }, "0\r\n",
         "C 436207616 268435456 4096\r\n", 0, 0},
        {"copy refused", [this] { return nxpCopy(fakeLink, 0x1A000000, 0x10000000, 4096); }, "9\r\n",
         "C 436207616 268435456 4096\r\n", 1, 9, true},
        {"copy unanswered", [this] { return nxpCopy(fakeLink, 0x1A000000, 0x10000000, 4096); }, "",
         "C 436207616 268435456 4096\r\n", ISP_COPY_NO_ANSWER, -1},
        {"compare equal", [this] { return nxpCompare(fakeLink, 0x1A000000, 0x10000000, 512); }, "0\r\n",
         "M 436207616 268435456 512\r\n", 0, 0},
        {"compare mismatch", [this] { return nxpCompare(fakeLink, 0x1A000000, 0x10000000, 512); }, "10\r\n1234\r\n",
         "M 436207616 268435456 512\r\n", 2, 10},
        {"compare other code", [this] { return nxpCompare(fakeLink, 0x1A000000, 0x10000000, 512); }, "1\r\n",
         "M 436207616 268435456 512\r\n", 1, 1, true},
        {"compare address error", [this] { return nxpCompare(fakeLink, 1, 2, 3); }, "13\r\n", "M 1 2 3\r\n", 1, 13, true},
    };
    for (const Case& c : cases) {
        fakeReset();
        fakePort.responder = answer(c.reply);
        const std::uint32_t damageBefore = ispDamageReports(fakeLink);
        EXPECT_EQ(c.call(), c.result) << c.name;
        EXPECT_EQ(ispDamageReports(fakeLink) - damageBefore, c.damage ? 1u : 0u) << c.name;
        EXPECT_EQ(fakePort.sent, c.sent) << c.name;
        EXPECT_EQ(fakePending(), c.reply.empty() ? "" : "\n") << c.name << ": every reply line consumed";
        EXPECT_EQ(std::string(fakeLink.isp.lastExchange.command) + "\r\n", c.sent) << c.name;
        EXPECT_EQ(fakeLink.isp.lastExchange.returnCode, c.code) << c.name;
    }
}

// With the echo on, each command's echo is read before its answer and must
// come back as sent. Replies are used in turn, the last one repeating.
TEST_F(Commands, EchoedCommandsJudgeTheirEchoFirst) {
    struct Case {
        const char* name;
        std::function<int()> call;
        std::vector<std::string> replies;
        int result;
        int sends;   // times the command line went out
    };
    const auto prepare = [this] { return nxpPrepare(fakeLink, 0, 9, 0); };
    const auto copy = [this] { return nxpCopy(fakeLink, 0x1A000000, 0x10000000, 4096); };
    const auto compare = [this] { return nxpCompare(fakeLink, 0x1A000000, 0x10000000, 512); };
    const Case cases[] = {
        {"echo as sent", prepare, {"P 0 9 0\r0\r\n\n"}, 0, 1},
        {"echo with XON/XOFF and a lone LF", prepare, {"P 0 9\x11 0\n0\r\n"}, 0, 1},
        {"damaged prepare goes again", prepare, {"P 0 8 0\r0\r\n\n", "P 0 9 0\r0\r\n\n"}, 0, 2},
        {"prepare damaged three times", prepare, {"P 0 8 0\r0\r\n"}, 1, 3},
        {"damaged copy answered 0 copied, perhaps elsewhere",
         copy,
         {"C 436207617 268435456 4096\r0\r\n"},
         ISP_COPY_DAMAGED_DONE,
         1},
        {"damaged copy refused copied nothing",
         copy,
         {"C 436207617 268435456 4096\r9\r\n"},
         ISP_COPY_DAMAGED_REFUSED,
         1},
        {"no echo: nothing more is waited for", copy, {""}, ISP_COPY_NO_ANSWER, 1},
        {"compare mismatch", compare, {"M 436207616 268435456 512\r10\r\n1234\r\n"}, 2, 1},
        {"damaged compare goes again",
         compare,
         {"M 436207616 268435456 51\r10\r\n4\r\n", "M 436207616 268435456 512\r0\r\n"},
         0,
         2},
        {"go", [this] { return nxpGo(fakeLink, 0x1A00D838); }, {"G 436262968 T\r0\r\n"}, 0, 1},
    };
    for (const Case& c : cases) {
        fakeReset();
        fakePort.responder = answer("0\r\n\n");
        ASSERT_EQ(nxpEchoOn(fakeLink), 0) << c.name;
        auto turn = std::make_shared<std::size_t>(0);
        fakePort.responder = [&c, turn](const std::string&, unsigned) {
            return c.replies[std::min((*turn)++, c.replies.size() - 1)];
        };
        fakePort.sent.clear();
        EXPECT_EQ(c.call(), c.result) << c.name;
        std::string sent;
        for (int i = 0; i < c.sends; ++i) sent += std::string(fakeLink.isp.lastExchange.command) + "\r\n";
        EXPECT_EQ(fakePort.sent, sent) << c.name;
        ispEchoTurnedOff(fakeLink);
    }
}

// The console keeps its messages; the log names the command and the code.
TEST_F(Commands, FailureIsNamedOnTheSupportLog) {
    const std::string path = testing::TempDir() + "isp_failure_trace.log";
    std::remove(path.c_str());
    ASSERT_EQ(supportLogOpen(path.c_str()), 0);
    fakePort.responder = answer("16\r\n");
    EXPECT_EQ(nxpUnlock(fakeLink), 1);
    supportLogClose();
    std::ifstream file(path, std::ios::binary);
    std::string records;
    for (std::string line; std::getline(file, line);) {
        const std::size_t time = line.find_first_not_of(' ');
        records += line.substr(line.find(' ', time) + 1) + "\n";   // without the seconds
    }
    EXPECT_EQ(records, "> U 23130\\r\\n\n< 16\n# \"U 23130\" failed: 16 INVALID_CODE\n");
    std::remove(path.c_str());
}

// Lines "0" end a "W" the bootloader may still be taking data for (one line
// per 16 bytes of a 4096-byte block and a checksum per 20 lines), and only then
// does the unlock show whether it takes commands again.
TEST_F(Commands, ResyncEndsAnUnfinishedTransferBeforeItUnlocks) {
    fakePort.responder = [](const std::string& line, unsigned) { return line == "U 23130" ? "0\r\n" : ""; };
    nxpResync(fakeLink);
    constexpr int DATA_LINES = 4096 / 16;
    std::string expected;
    for (int i = 0; i < DATA_LINES + (DATA_LINES + 19) / 20; ++i) expected += "0\r\n";
    EXPECT_EQ(fakePort.sent, expected + "U 23130\r\n");
}

TEST_F(Commands, PartIdentification) {
    struct Case {
        const char* name;
        std::string reply;
        PartId expected;
        PartIdResult result;
    };
    const Case cases[] = {
        {"512 kB banks", "0\r\n2684471344\r\n0\r\n", {0xC830, 0}, PART_ID_READ},
        {"256 kB banks", "0\r\n4026652720\r\n68\r\n", {0xD830, 68}, PART_ID_READ},
        {"no digits", "0\r\nxyz\r\n\r\n", {0, 0}, PART_ID_SPOILT},
        {"flash word damaged", "0\r\n4026652720\r\n6?\r\n", {0xD830, 6}, PART_ID_SPOILT},
        {"return code damaged", "?\r\n4026652720\r\n68\r\n", {0xD830, 68}, PART_ID_SPOILT},
        {"unanswered", "", {0, 0}, PART_ID_UNANSWERED},
    };
    for (const Case& c : cases) {
        fakeReset();
        fakePort.responder = answer(c.reply);
        PartId part{111, 222};
        EXPECT_EQ(nxpReadPartId(fakeLink, &part), c.result) << c.name;
        EXPECT_EQ(part.partWord0, c.expected.partWord0) << c.name;
        EXPECT_EQ(part.flashConfig, c.expected.flashConfig) << c.name;
        EXPECT_EQ(fakePort.sent, "J\r\n") << c.name;
    }
}

// The table's place follows the flash word: a "J" answer spoilt on its way
// back is asked for again, and one never answered whole leaves no layout.
TEST_F(Commands, SpoiltPartIdentificationIsAskedAgain) {
    const std::string whole = "0\r\n4026652720\r\n68\r\n", spoilt = "0\r\n4026652720\r\n6?\r\n";
    struct Case {
        const char* name;
        std::vector<std::string> answers;   // in turn; the last one repeats
        std::uint8_t layout;
        std::string sent;
    };
    const Case cases[] = {
        {"whole", {whole}, TABLE_LAYOUT_256K, "J\r\n"},
        {"spoilt once", {spoilt, whole}, TABLE_LAYOUT_256K, "J\r\nJ\r\n"},
        {"spoilt every time", {spoilt}, TABLE_LAYOUT_NONE, "J\r\nJ\r\nJ\r\n"},
        {"unanswered is not asked again", {""}, TABLE_LAYOUT_512K, "J\r\n"},
    };
    for (const Case& c : cases) {
        fakeReset();
        auto asked = std::make_shared<std::size_t>(0);
        fakePort.responder = [c, asked](const std::string&, unsigned) {
            return c.answers[std::min((*asked)++, c.answers.size() - 1)];
        };
        selectTableAddress(fakeLink);
        EXPECT_EQ(fakeLink.table.layout, c.layout) << c.name;
        EXPECT_EQ(fakePort.sent, c.sent) << c.name;
    }
}

// A bootloader receiving "W": accepts or refuses the command, follows the
// announced data lines in groups of up to 900 bytes and answers each group's
// checksum from a script; after RESEND it expects that group's lines again.
struct WritePeer {
    std::string commandReply = "0\r\n";
    std::vector<std::string> checksumReplies;   // used in turn; the last one repeats
    int checksumsSeen = 0;
    int bytesLeft = 0;   // of the "W", not yet acknowledged
    int groupLeft = 0;   // of the current group, not yet received

    void startGroup() { groupLeft = std::min(bytesLeft, 900); }

    std::string operator()(const std::string& line, unsigned) {
        if (groupLeft > 0) {
            groupLeft -= (line[0] - 0x20) & 0x3F;
            return "";
        }
        if (line.rfind("W ", 0) == 0) {
            unsigned address = 0, count = 0;
            std::sscanf(line.c_str(), "W %u %u", &address, &count);
            bytesLeft = static_cast<int>(count);
            if (commandReply.rfind("0", 0) == 0) startGroup();
            return commandReply;
        }
        std::size_t turn = static_cast<std::size_t>(checksumsSeen++);
        std::string reply = checksumReplies[std::min(turn, checksumReplies.size() - 1)];
        if (reply == "OK\r\n") bytesLeft -= std::min(bytesLeft, 900);
        if (reply == "OK\r\n" || reply == "RESEND\r\n") startGroup();
        return reply;
    }
};

TEST_F(Commands, WriteResendsJustTheGroupTheBootloaderFoundDamaged) {
    struct Case {
        const char* name;
        std::int32_t count;
        std::vector<std::string> checksumReplies;
        int result;
        std::vector<int> groups;   // the groups whose lines went out, in order
        unsigned damage = 0;       // the answers that show the bootloader got damaged bytes
    };
    const Case cases[] = {
        {"accepted at once", 100, {"OK\r\n"}, 0, {0}},
        {"resent once", 100, {"RESEND\r\n", "OK\r\n"}, 0, {0, 0}, 1},
        {"resent twice", 100, {"RESEND\r\n", "RESEND\r\n", "OK\r\n"}, 0, {0, 0, 0}, 2},
        {"still damaged after three sends", 100, {"RESEND\r\n"}, 1, {0, 0, 0}, 3},
        {"unknown answer", 100, {"19\r\n"}, 1, {0}, 1},
        {"no answer", 100, {""}, 1, {0}},
        {"second group resent", 1000, {"OK\r\n", "RESEND\r\n", "OK\r\n"}, 0, {0, 1, 1}, 1},
        {"each group has its own three sends",
         1000,
         {"RESEND\r\n", "RESEND\r\n", "OK\r\n", "RESEND\r\n", "RESEND\r\n", "OK\r\n"},
         0,
         {0, 0, 0, 1, 1, 1},
         4},
        {"second group still damaged", 1000, {"OK\r\n", "RESEND\r\n"}, 1, {0, 1, 1, 1}, 3},
    };
    Bytes data = pattern(1000, 9);
    for (const Case& c : cases) {
        fakeReset();
        auto peer = std::make_shared<WritePeer>();
        peer->checksumReplies = c.checksumReplies;
        fakePort.responder = [peer](const std::string& l, unsigned b) { return (*peer)(l, b); };
        const std::uint32_t damageBefore = ispDamageReports(fakeLink);
        EXPECT_EQ(nxpWrite(fakeLink, 0x10000000, data.data(), c.count), c.result) << c.name;
        EXPECT_EQ(ispDamageReports(fakeLink) - damageBefore, c.damage) << c.name;
        std::string expected = "W 268435456 " + std::to_string(c.count) + "\r\n";
        for (int g : c.groups) {
            const auto at = static_cast<std::size_t>(g) * 900;
            expected += referenceChunk(data.data() + at,
                                       std::min<std::size_t>(900, static_cast<std::size_t>(c.count) - at));
        }
        EXPECT_EQ(fakePort.sent, expected) << c.name;
    }
}

// One "W" per 4096 bytes, its lines in checksum groups of 900 bytes. Lines go
// out several to a write, more at higher rates; the bytes on the line must not
// depend on how they were grouped.
TEST_F(Commands, WriteSendsTheSameBytesAtEveryRate) {
    Bytes data = pattern(5000, 3);
    std::string expected = "W 268435456 4096\r\n";
    for (std::uint32_t at = 0; at < 4096; at += 900)
        expected += referenceChunk(data.data() + at, std::min<std::uint32_t>(900, 4096 - at));
    expected += "W 268439552 904\r\n" + referenceChunk(data.data() + 4096, 900) + referenceChunk(data.data() + 4996, 4);
    for (unsigned baud : {9600u, 19200u, 115200u}) {
        fakeReset();
        fakeLink.port.baud = baud;
        auto peer = std::make_shared<WritePeer>();
        peer->checksumReplies = {"OK\r\n"};
        fakePort.responder = [peer](const std::string& l, unsigned b) { return (*peer)(l, b); };
        EXPECT_EQ(nxpWrite(fakeLink, 0x10000000, data.data(), 5000), 0) << baud;
        EXPECT_EQ(fakePort.sent, expected) << baud;
    }
}

TEST_F(Commands, WriteRefusedOrUnansweredOrEmpty) {
    struct Case {
        const char* name;
        std::string commandReply;
        std::int32_t count;
        int result;
        std::string sent;
    };
    Bytes data = pattern(8, 1);
    const Case cases[] = {
        {"refused", "19\r\n", 8, 2, "W 268435456 8\r\n"},
        {"unanswered", "", 8, 1, "W 268435456 8\r\n"},
        {"nothing to write", "0\r\n", 0, 0, ""},
        {"negative count", "0\r\n", -4, 1, ""},
    };
    for (const Case& c : cases) {
        fakeReset();
        fakePort.responder = answer(c.commandReply);
        EXPECT_EQ(nxpWrite(fakeLink, 0x10000000, data.data(), c.count), c.result) << c.name;
        EXPECT_EQ(fakePort.sent, c.sent) << c.name;
    }
}

// A bootloader answering "R" from a byte pattern of its address space; it can
// refuse one command, falsify a checksum or cut the data lines short.
struct ReadPeer {
    int refuseCommand = -1;
    int badChecksumCommand = -1;
    int linesBeforeSilence = -1;
    int commands = 0;
    std::vector<std::string> commandLines;

    static std::uint8_t memoryAt(std::uint32_t address) {
        return static_cast<std::uint8_t>(address * 13 + (address >> 9));
    }

    std::string operator()(const std::string& line, unsigned) {
        if (line.rfind("R ", 0) != 0) return "";
        commandLines.push_back(line);
        unsigned address = 0, count = 0;
        std::sscanf(line.c_str(), "R %u %u", &address, &count);
        int index = commands++;
        if (index == refuseCommand) return "19\r\n";
        Bytes data(count);
        for (unsigned i = 0; i < count; ++i) data[i] = memoryAt(address + i);
        std::string text = referenceChunk(data.data(), count);
        if (index == badChecksumCommand) {
            char& last = text[text.size() - 3];
            last = last == '9' ? '0' : static_cast<char>(last + 1);
        }
        if (linesBeforeSilence >= 0) {
            std::size_t cut = 0;
            for (int i = 0; i < linesBeforeSilence; ++i) cut = text.find("\r\n", cut) + 2;
            text.resize(cut);
        }
        return "0\r\n" + text;
    }
};

TEST_F(Commands, ReadChunksChecksAndAcknowledges) {
    struct Case {
        const char* name;
        std::int32_t count;
        ReadPeer peer;
        int result;
        std::vector<std::string> commands;
        std::string printed;
    };
    const std::uint32_t base = 0x1A07FE00;
    auto peerWith = [](int refuse, int badSum, int lines) {
        ReadPeer p;
        p.refuseCommand = refuse;
        p.badChecksumCommand = badSum;
        p.linesBeforeSilence = lines;
        return p;
    };
    const Case cases[] = {
        {"one table", 512, ReadPeer{}, 512, {"R 436731392 512"}, ""},
        {"two chunks", 1000, ReadPeer{}, 1000, {"R 436731392 900", "R 436732292 100"}, ""},
        {"count rounded up on the line", 5, ReadPeer{}, 5, {"R 436731392 8"}, ""},
        {"nothing to read", 0, ReadPeer{}, 0, {}, ""},
        {"negative count", -8, ReadPeer{}, 0, {}, ""},
        {"first chunk refused", 1000, peerWith(0, -1, -1), 0, {"R 436731392 900"}, ""},
        {"second chunk refused", 1000, peerWith(1, -1, -1), -900, {"R 436731392 900", "R 436732292 100"}, ""},
        // A spoilt chunk is asked for again by itself, at most three times more.
        {"bad checksum", 1000, peerWith(-1, 0, -1), 1000, {"R 436731392 900", "R 436731392 900", "R 436732292 100"},
         ""},
        {"second chunk's checksum bad", 1000, peerWith(-1, 1, -1), 1000,
         {"R 436731392 900", "R 436732292 100", "R 436732292 100"}, ""},
        {"data lines stop every time", 512, peerWith(-1, -1, 5), 0,
         {"R 436731392 512", "R 436731392 512", "R 436731392 512", "R 436731392 512"}, "Timeout\n"},
    };
    for (const Case& c : cases) {
        fakeReset();
        auto peer = std::make_shared<ReadPeer>(c.peer);
        fakePort.responder = [peer](const std::string& l, unsigned b) { return (*peer)(l, b); };
        Bytes buffer(1100, 0xEE);
        StdoutCapture capture;
        int result = nxpRead(fakeLink, buffer.data(), base, c.count);
        EXPECT_EQ(capture.text(), c.printed) << c.name;
        EXPECT_EQ(result, c.result) << c.name;
        EXPECT_EQ(peer->commandLines, c.commands) << c.name;
        for (std::int32_t i = 0; i < result; ++i)
            ASSERT_EQ(buffer[i], ReadPeer::memoryAt(base + i)) << c.name << " byte " << i;
        for (std::size_t i = std::max(c.count, 0); i < buffer.size(); ++i)
            ASSERT_EQ(buffer[i], 0xEE) << c.name << ": stored beyond the count at " << i;
    }
}

// A bad chunk is acknowledged, and an "OK" more ends an answer that may not
// have run out, before the chunk is asked for again.
TEST_F(Commands, ReadAcknowledgesABadChunkAndAsksForItAgain) {
    ReadPeer peer;
    peer.badChecksumCommand = 0;
    fakePort.responder = [&peer](const std::string& l, unsigned b) { return peer(l, b); };
    Bytes buffer(512);
    EXPECT_EQ(nxpRead(fakeLink, buffer.data(), 0x1A000000, 512), 512);
    EXPECT_EQ(fakePort.sent, "R 436207616 512\r\nOK\r\nOK\r\nR 436207616 512\r\nOK\r\n");
}

}   // namespace
