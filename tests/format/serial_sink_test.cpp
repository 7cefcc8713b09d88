#include "format/sinks.h"
#include "link/serial.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <poll.h>
#include <stdlib.h>
#include <unistd.h>

#include <cstdio>
#include <string>

namespace {

// Plays the switch's end of the line: a pseudo-terminal whose slave is
// reachable as COM5 through BMFWU_PORT_DIR.
class SerialSink : public ::testing::Test {
  protected:
    void SetUp() override {
        master = posix_openpt(O_RDWR | O_NOCTTY);
        ASSERT_GE(master, 0);
        ASSERT_EQ(grantpt(master), 0);
        ASSERT_EQ(unlockpt(master), 0);
        char dirTemplate[] = "/tmp/bmfwu-format-XXXXXX";
        ASSERT_NE(mkdtemp(dirTemplate), nullptr);
        portDir = dirTemplate;
        link = portDir + "/COM5";
        ASSERT_EQ(symlink(ptsname(master), link.c_str()), 0);
        ASSERT_EQ(setenv("BMFWU_PORT_DIR", portDir.c_str(), 1), 0);
        ASSERT_EQ(comOpen(&serial, 5, 115200), 1);
    }

    void TearDown() override {
        comClose(&serial);
        unsetenv("BMFWU_PORT_DIR");
        if (!link.empty()) unlink(link.c_str());
        if (!portDir.empty()) rmdir(portDir.c_str());
        if (master >= 0) close(master);
    }

    // Reads from the master until `expected` bytes came or the line stays quiet.
    std::string readLine(std::size_t expected) {
        std::string bytes;
        pollfd ready{master, POLLIN, 0};
        while (bytes.size() < expected && poll(&ready, 1, 2000) == 1) {
            char chunk[512];
            const ssize_t got = read(master, chunk, sizeof chunk);
            if (got <= 0) break;
            bytes.append(chunk, static_cast<std::size_t>(got));
        }
        return bytes;
    }

    int master = -1;
    SerialPort serial{};
    std::string portDir;
    std::string link;
};

TEST_F(SerialSink, CommandLineReachesTheLineUnchanged) {
    serialPrintf(&serial, "W %u %u\r\n", 268435456, 512);
    const std::string expected = "W 268435456 512\r\n";
    EXPECT_EQ(readLine(expected.size()), expected);
}

TEST_F(SerialSink, LinesOfAnyLengthArriveWhole) {
    std::string text;
    for (int i = 0; i < 300; ++i) text.push_back(static_cast<char>('!' + i % 90));
    for (int length : {1, 127, 128, 129, 256, 300}) {
        serialPrintf(&serial, "%S", length, text.c_str());
        const std::string expected = text.substr(0, static_cast<std::size_t>(length));
        EXPECT_EQ(readLine(expected.size()), expected) << length;
    }
    serialPrintf(&serial, "%s|%c\r\n", text.c_str(), 0xE9);
    const std::string expected = text + "|\xE9\r\n";
    EXPECT_EQ(readLine(expected.size()), expected);
}

}   // namespace
