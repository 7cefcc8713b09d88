#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <memory>
#include <string>

#include "app/probe.h"
#include "fake_port.h"
#include "isp/identity.h"
#include "isp/line.h"
#include "link/serial.h"

namespace {

class LineReader : public FakePortTest {};

TEST_F(LineReader, ReadsWhatArrivedBeforeTheTerminator) {
    struct Case {
        const char* name;
        std::string input;
        int capacity;
        const char* terminators;
        int result;
        std::string line;
        std::string left;   // still queued afterwards
    };
    const Case cases[] = {
        {"reply with CR LF", "0\r\n", 7, "\r", 1, "0", "\n"},
        {"leading LF of the previous reply dropped", "\n19\r\n", 7, "\r", 2, "19", "\n"},
        {"exactly capacity-1 characters", "abcdef\rX", 7, "\r", 6, "abcdef", "X"},
        {"capacity characters without terminator", "abcdefg\r", 7, "\r", -1, "", "\r"},
        {"NUL and high bytes dropped",
         std::string("a\0b\x80\xff"
                     "c\x1b\r",
                     8),
         7, "\r", 3, "abc", ""},
        {"terminator first gives an empty line", "\rabc", 7, "\r", 0, "", "abc"},
        {"any terminator of the set ends the line", "^=Pab$rest", 20, "$\r", 5, "^=Pab", "rest"},
        {"dollar set ignores CR", "^=V x\r$", 20, "$", 5, "^=V x", ""},
        {"0x7F is kept", "a\x7f\r", 7, "\r", 2, "a\x7f", ""},
    };
    for (const Case& c : cases) {
        fakeReset();
        fakeFeed(c.input);
        char buffer[64];
        std::memset(buffer, '#', sizeof buffer);
        EXPECT_EQ(readLine(fakeLink, buffer, c.capacity, c.terminators), c.result) << c.name;
        EXPECT_EQ(std::string(buffer), c.line) << c.name;
        EXPECT_EQ(fakePending(), c.left) << c.name;
    }
}

TEST_F(LineReader, TimesOutWithEmptyLineWhenTheTerminatorNeverComes) {
    fakeFeed("partial");
    char buffer[20] = "stale";
    EXPECT_EQ(readLineCr(fakeLink, buffer, sizeof buffer), -1);
    EXPECT_STREQ(buffer, "");
}

TEST_F(LineReader, ReadThatDeliversNothingIsNotTakenAsAByte) {
    fakeFeed("ab");
    fakeFeed("c\r");
    fakePort.failingRead = 1;   // the port reports "b" waiting but fails to deliver it once
    char buffer[20];
    EXPECT_EQ(readLineCr(fakeLink, buffer, sizeof buffer), 3);
    EXPECT_STREQ(buffer, "abc");
}

TEST_F(LineReader, ZeroCapacityLeavesTheBufferAlone) {
    fakeFeed("x\r");
    char buffer[1] = {'#'};
    EXPECT_EQ(readLine(fakeLink, buffer, 0, "\r"), -1);
    EXPECT_EQ(buffer[0], '#');
}

TEST_F(LineReader, DrainDiscardsEverythingWaiting) {
    fakeFeed(std::string(300, 'x'));
    drainInput(fakeLink);
    EXPECT_EQ(fakePending(), "");
    EXPECT_EQ(fakePort.sent, "");
}

// Sync exchanges against scripted peers. Each attempt ends its probe line
// with CR, so the responder sees "\x1b^P$?" at 115200 and "\x1b^P$*" at 19200.
const std::string kProbeFast = "\x1b^P$?";
const std::string kProbeSlow = "\x1b^P$*";

class Sync : public FakePortTest {};

// A ROM bootloader fresh from reset: autobauds on '?' and echoes every line.
std::string freshBootloader(const std::string& line, unsigned baud) {
    if (baud == 115200 && !line.empty() && line.back() == '?') return "Synchronized\r\n";
    if (line == "Synchronized") return "Synchronized\r\nOK\r\n";
    if (line == "O") return "O\r\nOK\r\n";
    if (line == "A 0") return "A 0\r\n0\r\n";
    return "";
}

// The one silent line of the suite (it costs four line budgets): the probe
// reports nothing answered after both rates were tried twice.
TEST_F(Sync, SilentLineTriesBothRatesTwiceAndTheProbeFindsNothing) {
    fakeLink.state = LINK_APPLICATION;
    EXPECT_EQ(probeDevice(fakeLink), PROBE_NO_ANSWER);
    EXPECT_EQ(fakeLink.state, LINK_NONE);
    ASSERT_EQ(fakePort.lines.size(), 4u);
    const unsigned rates[] = {115200, 19200, 115200, 19200};
    for (int i = 0; i < 4; ++i) {
        EXPECT_EQ(fakePort.lines[i].baud, rates[i]) << i;
        EXPECT_EQ(fakePort.lines[i].text, rates[i] == 115200 ? kProbeFast : kProbeSlow) << i;
    }
    EXPECT_EQ(fakeLink.port.baud, 19200u);
    EXPECT_EQ(fakePort.baud, 19200u);
}

TEST_F(Sync, ProbeWithoutAPortReturnsAtOnce) {
    fakeLink.port.baud = 0;
    fakeLink.state = LINK_BOOTLOADER_NO_TABLE;
    EXPECT_EQ(probeDevice(fakeLink), PROBE_NO_PORT);
    EXPECT_EQ(fakeLink.state, LINK_BOOTLOADER_NO_TABLE);
    EXPECT_EQ(fakePort.sent, "");
}

TEST_F(Sync, RecognisesWhatAnswers) {
    struct Case {
        const char* name;
        std::function<std::string(const std::string&, unsigned)> peer;
        int result;
        std::string sent;   // every byte the host sent
        unsigned baud;
    };
    const Case cases[] = {
        {"fresh bootloader: handshake, then echo off", freshBootloader, 1, kProbeFast + "\rSynchronized\r\nO\rA 0\r",
         115200},
        {"handshake texts damaged on the way back, one character each",
         [](const std::string& line, unsigned baud) -> std::string {
             if (baud == 115200 && !line.empty() && line.back() == '?') return "Synchronizeb\r\n";
             if (line == "Synchronized") return "Synchronized\r\nOk\r\n";
             return freshBootloader(line, baud);
         },
         1, kProbeFast + "\rSynchronized\r\nO\rA 0\r", 115200},
        {"answer to A 0 spoilt: asked again, now without echo",
         [answers = std::make_shared<int>(0)](const std::string& line, unsigned baud) -> std::string {
             if (line == "A 0") return ++*answers == 1 ? "A 0\r\n?\r\n" : "0\r\n";
             return freshBootloader(line, baud);
         },
         1, kProbeFast + "\rSynchronized\r\nO\rA 0\rA 0\r", 115200},
        {"synchronised bootloader with echo on",
         [](const std::string& line, unsigned baud) -> std::string {
             if (baud == 115200 && line == kProbeFast) return "^P$?\r\n1\r\n";   // ESC swallowed, rest echoed
             if (line == "A 0") return "A 0\r\n0\r\n";
             return "";
         },
         1, kProbeFast + "\rA 0\r", 115200},
        {"synchronised bootloader with echo off",
         [](const std::string& line, unsigned baud) -> std::string {
             if (baud == 115200 && line == kProbeFast) return "1\r\n";
             if (line == "A 0") return "0\r\n";
             return "";
         },
         1, kProbeFast + "\rA 0\r", 115200},
        {"application answering the ping",
         [](const std::string& line, unsigned baud) -> std::string {
             return baud == 19200 && line == kProbeSlow ? "^=P01$" : "";
         },
         2, kProbeFast + "\r" + kProbeSlow + "\r", 19200},
        {"application sending a keep-alive",
         [](const std::string& line, unsigned baud) -> std::string {
             return baud == 19200 && line == kProbeSlow ? "^+$^=P01$" : "";
         },
         2, kProbeFast + "\r" + kProbeSlow + "\r", 19200},
        {"ping answer one character too long is not an application",
         [](const std::string&, unsigned) -> std::string { return "^=P012$"; }, 0,
         kProbeFast + "\r" + kProbeSlow + "\r" + kProbeFast + "\r" + kProbeSlow + "\r", 19200},
        {"handshake without OK fails every attempt",
         [](const std::string& line, unsigned baud) -> std::string {
             if (baud == 115200 && line == kProbeFast) return "Synchronized\r\n";
             if (line == "Synchronized") return "Synchronized\r\n19\r\n";
             return "";
         },
         0,
         kProbeFast + "\rSynchronized\r\n" + kProbeSlow + "\r" + kProbeFast + "\rSynchronized\r\n" + kProbeSlow + "\r",
         19200},
    };
    for (const Case& c : cases) {
        fakeReset();
        fakePort.responder = c.peer;
        EXPECT_EQ(nxpSync(fakeLink), c.result) << c.name;
        EXPECT_EQ(fakePort.sent, c.sent) << c.name;
        EXPECT_EQ(fakeLink.port.baud, c.baud) << c.name;
        std::string pending = fakePending();
        EXPECT_EQ(pending.find_first_not_of('\n'), std::string::npos) << c.name << ": left " << pending;
    }
}

}   // namespace
