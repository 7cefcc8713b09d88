// The Windows serial port: its rules without a peer, and its traffic with a
// loop-back peer on a pseudo-terminal when run by tools/wine/run-unit-tests.sh.
#include <gtest/gtest.h>
#include <windows.h>

#include <cstring>
#include <string>

#include "link/clock.h"
#include "link/serial.h"
#include "win32_test_util.h"

namespace {

constexpr unsigned ABSENT_COM = 98;

TEST(SerialClosed, EveryOperationFailsWithoutASystemCall) {
    SerialPort port{};
    char buffer[4] = {'a', 'b', 'c', 'd'};
    EXPECT_EQ(comWrite(&port, buffer, 4), 0);
    EXPECT_EQ(comRead(&port, buffer, 4), 0);
    EXPECT_EQ(comBytesWaiting(&port), 0);
    EXPECT_EQ(comWaitInput(&port, 50), 0);
    EXPECT_EQ(comSetBaud(&port, 115200), 0);
    EXPECT_EQ(comSendString(&port, "^P$"), 0);
    EXPECT_EQ(comSendByte(&port, 'x'), 0);
    EXPECT_EQ(comClose(&port), 1);
    EXPECT_EQ(comClose(&port), 1);
    EXPECT_EQ(port.isOpen, 0);
    EXPECT_EQ(port.handle, 0);
    EXPECT_EQ(port.baud, 0u);
    EXPECT_EQ(std::memcmp(buffer, "abcd", 4), 0);
}

TEST(SerialClosed, OpenWithoutARecordOrAPathIsRefused) {
    SerialPort port{};
    EXPECT_EQ(comOpenDevice(nullptr, "\\\\.\\COM98", 19200), 0);
    EXPECT_EQ(comOpenDevice(&port, nullptr, 19200), 0);
    EXPECT_EQ(comOpen(nullptr, ABSENT_COM, 19200), 0);
    EXPECT_EQ(port.isOpen, 0);
}

TEST(SerialClosed, AbsentPortDoesNotOpenAndLeavesNothingBehind) {
    SerialPort port{};
    int before = openHandleCount();
    std::string shown = captureStdout([&] { EXPECT_EQ(comOpen(&port, ABSENT_COM, 19200), 0); });
    EXPECT_EQ(shown, "");
    EXPECT_EQ(port.openFailure, PORT_OPEN_MISSING);   // nothing is said beyond the open's failure
    EXPECT_EQ(port.isOpen, 0);
    EXPECT_EQ(port.handle, 0);
    EXPECT_EQ(port.baud, 0u);
    char byte = 'x';
    EXPECT_EQ(comWrite(&port, &byte, 1), 0);
    EXPECT_EQ(comRead(&port, &byte, 1), 0);
    EXPECT_EQ(comBytesWaiting(&port), 0);
    EXPECT_EQ(openHandleCount(), before);
}

TEST(SerialClosed, DeviceThatIsNoSerialPortDoesNotOpenAndLeavesNothingBehind) {
    unsigned com = notSerialComPort();
    if (com == 0) GTEST_SKIP() << "no such device linked (BMFWU_TEST_NOT_SERIAL_COM is not set)";
    SerialPort port{};
    int before = openHandleCount();
    EXPECT_EQ(comOpen(&port, com, 19200), 0);
    EXPECT_EQ(port.isOpen, 0);
    EXPECT_EQ(port.handle, 0);
    EXPECT_EQ(openHandleCount(), before);
    EXPECT_EQ(comClose(&port), 1);
}

// The tests below talk to the loop-back peer of tools/wine/pty-peer.py: it
// sends back every byte, and answers 0xFF 'S' with the line settings it sees.
class SerialPeer : public ::testing::Test {
  protected:
    void SetUp() override {
        comNumber = peerComPort();
        if (comNumber == 0) GTEST_SKIP() << "no loop-back peer (BMFWU_TEST_COM is not set)";
        ASSERT_EQ(comOpen(&port, comNumber, 19200), 1);
        while (comBytesWaiting(&port) > 0) {   // what an earlier test left
            char drop[64];
            comRead(&port, drop, sizeof drop);
        }
    }
    void TearDown() override { comClose(&port); }

    // Reads until `count` bytes came or the line stays quiet for 2 s.
    std::string receive(std::size_t count) {
        std::string got;
        while (got.size() < count && comWaitInput(&port, 2000) == 1) {
            char chunk[512];
            int n = comRead(&port, chunk, static_cast<std::int32_t>(count - got.size()));
            if (n <= 0) break;
            got.append(chunk, static_cast<std::size_t>(n));
        }
        return got;
    }

    // Waits up to 3 s until `count` received bytes are waiting.
    void waitUntilQueued(std::size_t count) {
        std::uint32_t start = msNow();
        while (comBytesWaiting(&port) < static_cast<int>(count) && !msElapsed(start, 3000)) msSleep(1);
    }

    std::string lineSettings() {
        EXPECT_EQ(comWrite(&port, "\xFFS", 2), 2);
        std::string reply;
        while (reply.empty() || reply.back() != '\n') {
            std::string more = receive(1);
            if (more.empty()) break;
            reply += more;
        }
        return reply;
    }

    SerialPort port{};
    unsigned comNumber = 0;
};

TEST_F(SerialPeer, OpensAtTheRequestedRateWithEightBitsAndNoFlowControl) {
    EXPECT_EQ(port.baud, 19200u);
    EXPECT_EQ(lineSettings(), "baud=19200 csize=8 ixon=0 ixoff=0 crtscts=0\n");
}

TEST_F(SerialPeer, RateChangesAreSeenOnTheLine) {
    for (unsigned baud : {115200u, 19200u, 115200u}) {
        ASSERT_EQ(comSetBaud(&port, baud), 1);
        EXPECT_EQ(port.baud, baud);
        EXPECT_EQ(lineSettings(), "baud=" + std::to_string(baud) + " csize=8 ixon=0 ixoff=0 crtscts=0\n");
    }
}

TEST_F(SerialPeer, EveryByteValueTravelsUnchanged) {
    // 0xFF is the peer's command byte; every other value, the XON/XOFF and
    // line-end characters included, must pass both ways as itself.
    std::string sent;
    for (int value = 0; value < 0xFF; ++value) sent += static_cast<char>(value);
    ASSERT_EQ(comWrite(&port, sent.data(), static_cast<std::int32_t>(sent.size())), static_cast<int>(sent.size()));
    waitUntilQueued(sent.size());
    EXPECT_EQ(comBytesWaiting(&port), static_cast<int>(sent.size()));
    EXPECT_EQ(receive(sent.size()), sent);
}

TEST_F(SerialPeer, ByteByByteReadsOfAFullQueueKeepEveryByteAndTheCount) {
    std::string sent;
    for (int value = 0; value < 600; ++value) sent += static_cast<char>('A' + value % 26);
    ASSERT_EQ(comWrite(&port, sent.data(), static_cast<std::int32_t>(sent.size())), static_cast<int>(sent.size()));
    waitUntilQueued(sent.size());
    std::string got;
    for (int waiting = comBytesWaiting(&port); waiting > 0; --waiting) {
        char byte = 0;
        ASSERT_EQ(comRead(&port, &byte, 1), 1);
        got += byte;
        ASSERT_EQ(comBytesWaiting(&port), waiting - 1);
    }
    EXPECT_EQ(got, sent);
    EXPECT_EQ(comWaitInput(&port, 100), 0);
}

TEST_F(SerialPeer, SendHelpersWriteToTheirPort) {
    EXPECT_EQ(comSendByte(&port, 0x11B), 1);
    EXPECT_EQ(receive(1), "\x1B");
    EXPECT_EQ(comSendString(&port, "^BOOTL$"), 7);
    EXPECT_EQ(receive(7), "^BOOTL$");
    EXPECT_EQ(comWaitInput(&port, 100), 0) << "nothing beyond the bytes sent";
}

TEST_F(SerialPeer, ReadOnASilentLineGivesUpAfterASecondAndThePortStaysUsable) {
    char buffer[8];
    std::uint32_t start = msNow();
    EXPECT_EQ(comRead(&port, buffer, 1), 0);
    EXPECT_TRUE(msElapsed(start, 900));
    // The abandoned read must be gone: a stale one would take these bytes.
    ASSERT_EQ(comWrite(&port, "xyz", 3), 3);
    EXPECT_EQ(receive(3), "xyz");
}

TEST_F(SerialPeer, ReadEndsAtAGapBetweenBytes) {
    ASSERT_EQ(comWrite(&port, "\xFFG", 2), 2);
    ASSERT_EQ(comWaitInput(&port, 2000), 1);
    char buffer[4];
    int first = comRead(&port, buffer, 4);
    EXPECT_EQ(std::string(buffer, first > 0 ? static_cast<std::size_t>(first) : 0), "AB");
    EXPECT_EQ(receive(2), "CD");
}

TEST_F(SerialPeer, WaitInputWakesForDataAndTimesOutOnSilence) {
    EXPECT_EQ(comWaitInput(&port, 100), 0);
    ASSERT_EQ(comWrite(&port, "w", 1), 1);
    EXPECT_EQ(comWaitInput(&port, 2000), 1);
    EXPECT_EQ(comBytesWaiting(&port), 1);
}

TEST_F(SerialPeer, SecondOpenIsRefusedSilentlyAndKeepsThePort) {
    std::intptr_t handle = port.handle;
    std::string shown = captureStdout([&] {
        EXPECT_EQ(comOpen(&port, 12, 115200), 0);
        EXPECT_EQ(comOpenDevice(&port, "\\\\.\\COM12", 115200), 0);
    });
    EXPECT_EQ(shown, "");
    EXPECT_EQ(port.openFailure, PORT_OPEN_ALREADY);
    EXPECT_EQ(port.handle, handle);
    EXPECT_EQ(port.baud, 19200u);
    EXPECT_EQ(lineSettings(), "baud=19200 csize=8 ixon=0 ixoff=0 crtscts=0\n");
}

TEST_F(SerialPeer, FailedRateChangeClosesThePortAndReleasesIt) {
    if (runningUnderWine()) GTEST_SKIP() << "Wine accepts every rate, 0 included, on a pseudo-terminal";
    comClose(&port);
    int before = openHandleCount();
    ASSERT_EQ(comOpen(&port, comNumber, 19200), 1);
    EXPECT_EQ(comSetBaud(&port, 0), 0);
    EXPECT_EQ(port.isOpen, 0);
    EXPECT_EQ(port.handle, 0);
    EXPECT_EQ(port.baud, 0u);
    EXPECT_EQ(comWrite(&port, "x", 1), 0);
    EXPECT_EQ(comClose(&port), 1);
    EXPECT_EQ(openHandleCount(), before);
}

TEST_F(SerialPeer, OpenCloseCyclesReleaseEveryHandle) {
    comClose(&port);
    int before = openHandleCount();
    for (int cycle = 0; cycle < 20; ++cycle) {
        ASSERT_EQ(comOpen(&port, comNumber, 19200), 1);
        ASSERT_EQ(comClose(&port), 1);
        ASSERT_EQ(port.baud, 0u);
        ASSERT_EQ(comClose(&port), 1);
    }
    EXPECT_EQ(openHandleCount(), before);
}

TEST_F(SerialPeer, PortIsOpenedExclusively) {
    if (runningUnderWine()) GTEST_SKIP() << "Wine does not enforce exclusive opens of COM ports";
    std::string path = "\\\\.\\COM" + std::to_string(comNumber);
    HANDLE second = CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                                FILE_FLAG_OVERLAPPED, nullptr);
    EXPECT_EQ(second, INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
    if (second != INVALID_HANDLE_VALUE) CloseHandle(second);
    SerialPort other{};
    EXPECT_EQ(comOpen(&other, comNumber, 19200), 0);
    EXPECT_EQ(other.openFailure, PORT_OPEN_BUSY);   // the reason the user is told
}

}   // namespace
