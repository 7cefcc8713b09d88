// The POSIX serial port, driven over a pseudo-terminal whose master side
// plays the switch.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include <fcntl.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include "link/clock.h"
#include "link/device_path_posix.h"
#include "link/port_list.h"
#include "link/pty_peer.h"
#include "link/serial.h"

namespace {

constexpr unsigned PORT = 7;

std::string allByteValues() {
    std::string bytes;
    for (int value = 0; value < 256; ++value) bytes.push_back(static_cast<char>(value));
    return bytes;
}

class SerialPortTest : public ::testing::Test {
  protected:
    void SetUp() override { ports.link(PORT, peer.slavePath()); }
    void TearDown() override { comClose(&port); }

    termios lineSettings() {
        termios settings{};
        EXPECT_EQ(tcgetattr(peer.master(), &settings), 0);
        return settings;
    }

    speed_t lineSpeed() {
        termios settings = lineSettings();
        return cfgetospeed(&settings);
    }

    std::string readAll(std::int32_t count) {
        std::string text(static_cast<std::size_t>(count), '\0');
        int got = comRead(&port, text.data(), count);
        text.resize(static_cast<std::size_t>(got > 0 ? got : 0));
        return text;
    }

    PtyPeer peer;
    PortDir ports;
    SerialPort port{};
};

void expectClosedPortRefusesEverything(SerialPort* port) {
    char buffer[4] = {'a', 'b', 'c', 'd'};
    EXPECT_EQ(port->isOpen, 0);
    EXPECT_EQ(port->handle, 0);
    EXPECT_EQ(comWrite(port, buffer, 4), 0);
    EXPECT_EQ(comRead(port, buffer, 4), 0);
    EXPECT_EQ(comBytesWaiting(port), 0);
    EXPECT_EQ(comWaitInput(port, 10), 0);
    EXPECT_EQ(comSetBaud(port, 19200), 0);
    EXPECT_EQ(comClose(port), 1);
    EXPECT_EQ(port->isOpen, 0);
}

TEST(ComDevicePath, MapsPortNumbersToDeviceFamilies) {
    unsetenv("BMFWU_PORT_DIR");
    struct Case {
        unsigned port;
        const char* path;   // nullptr: no device
    };
    const Case cases[] = {
        {1, "/dev/ttyS0"},     {32, "/dev/ttyS31"}, {33, "/dev/ttyUSB0"}, {64, "/dev/ttyUSB31"}, {65, "/dev/ttyACM0"},
        {96, "/dev/ttyACM31"}, {0, nullptr},        {97, nullptr},        {99, nullptr},         {4000000000u, nullptr},
    };
    for (const Case& c : cases) {
        char path[64] = "untouched";
        int result = comDevicePath(c.port, path, sizeof path);
        EXPECT_EQ(result, c.path != nullptr ? 1 : 0) << "COM" << c.port;
        if (c.path != nullptr) {
            EXPECT_STREQ(path, c.path) << "COM" << c.port;
            EXPECT_EQ(comDeviceNumber(c.path + 5), c.port) << "the way back from " << c.path;
        }
    }
}

TEST(ComDevicePath, UsesThePortFolderAndNeverTruncates) {
    setenv("BMFWU_PORT_DIR", "/run/ports", 1);
    char path[64];
    EXPECT_EQ(comDevicePath(12, path, sizeof path), 1);
    EXPECT_STREQ(path, "/run/ports/COM12");
    char small[12];
    EXPECT_EQ(comDevicePath(12, small, sizeof small), 0);
    EXPECT_STREQ(small, "");
    unsetenv("BMFWU_PORT_DIR");
}

// A fake root with dev/ and sys/class/tty/, removed with its contents.
class FakeSystemTree {
  public:
    FakeSystemTree() : root_(std::filesystem::temp_directory_path() / ("bmfwu-tree-" + std::to_string(getpid()))) {
        std::filesystem::create_directories(root_);
    }
    ~FakeSystemTree() { std::filesystem::remove_all(root_); }
    // `uartType` < 0 leaves sysfs without the device's type.
    void add(const std::string& name, int uartType = -1) {
        std::filesystem::create_directories(root_ / "dev");
        std::ofstream(root_ / "dev" / name).put('\n');
        if (uartType < 0) return;
        std::filesystem::create_directories(root_ / "sys/class/tty" / name);
        std::ofstream(root_ / "sys/class/tty" / name / "type") << uartType << "\n";
    }
    std::string root() const { return root_.string(); }

  private:
    std::filesystem::path root_;
};

TEST(ComListSerialDevices, AdaptersFirstInNumericOrderThenPresentUarts) {
    struct Case {
        const char* what;
        std::vector<std::pair<std::string, int>> devices;   // name, sysfs port type (-1 none)
        int capacity;
        std::vector<std::pair<std::string, unsigned>> expected;   // device under dev/, COM number
    };
    std::vector<std::pair<std::string, int>> manyAdapters;
    std::vector<std::pair<std::string, unsigned>> firstSixteen;
    for (unsigned index = 0; index < 20; ++index) {
        manyAdapters.emplace_back("ttyUSB" + std::to_string(index), -1);
        if (index < 16) firstSixteen.emplace_back("ttyUSB" + std::to_string(index), 33 + index);
    }
    const std::vector<Case> cases = {
        {"mixed",
         {{"ttyS3", 1},
          {"ttyUSB10", -1},
          {"ttyS1", 0},
          {"ttyACM0", -1},
          {"tty", -1},
          {"ttyS0", 4},
          {"ttyUSB2", -1},
          {"ttyS2", -1},
          {"ttyUSBx", -1},
          {"console", -1},
          {"ttyUSB40", -1}},
         16,
         {{"ttyUSB2", 35}, {"ttyUSB10", 43}, {"ttyUSB40", 0}, {"ttyACM0", 65}, {"ttyS0", 1}, {"ttyS3", 4}}},
        {"only placeholders", {{"ttyS0", 0}, {"ttyS1", 0}, {"tty0", -1}}, 16, {}},
        {"no dev folder", {}, 16, {}},
        {"more than the scan takes", manyAdapters, 16, firstSixteen},
    };
    for (const Case& c : cases) {
        FakeSystemTree tree;
        for (const auto& [name, type] : c.devices) tree.add(name, type);
        PortName ports[20];
        const int count = comListSerialDevices(tree.root().c_str(), ports, c.capacity);
        ASSERT_EQ(count, static_cast<int>(c.expected.size())) << c.what;
        for (int at = 0; at < count; ++at) {
            EXPECT_EQ(ports[at].device, tree.root() + "/dev/" + c.expected[at].first) << c.what;
            EXPECT_EQ(ports[at].number, c.expected[at].second) << c.what << " " << ports[at].device;
        }
    }
}

TEST_F(SerialPortTest, FailedOpensLeaveThePortClosed) {
    ports.link(8, ports.path("missing-device"));
    int plain = open(ports.path("plain-file").c_str(), O_CREAT | O_WRONLY, 0600);
    ASSERT_GE(plain, 0);
    close(plain);
    ports.link(9, ports.path("plain-file"));
    struct Case {
        unsigned port;
        unsigned baud;
        const char* what;
    };
    const Case cases[] = {
        {8, 19200, "dangling link"},       {10, 19200, "no link"}, {9, 19200, "not a terminal"},
        {PORT, 12345, "unsupported rate"}, {PORT, 0, "zero rate"},
    };
    for (const Case& c : cases) {
        SerialPort failed{};
        EXPECT_EQ(comOpen(&failed, c.port, c.baud), 0) << c.what;
        expectClosedPortRefusesEverything(&failed);
    }
    EXPECT_EQ(comOpen(&port, PORT, 19200), 1) << "a failed open must not hold the device";
}

TEST_F(SerialPortTest, OpensRawEightBitWithoutFlowControl) {
    termios before = lineSettings();
    before.c_cflag |= PARODD | CSTOPB | CRTSCTS;   // a pty keeps no PARENB
    before.c_iflag |= IXON | IXOFF | ICRNL;
    before.c_cflag = (before.c_cflag & ~static_cast<tcflag_t>(CSIZE)) | CS7;
    ASSERT_EQ(tcsetattr(peer.master(), TCSANOW, &before), 0);

    ASSERT_EQ(comOpen(&port, PORT, 19200), 1);
    EXPECT_EQ(port.isOpen, 1);
    EXPECT_GE(port.handle, 3);
    termios line = lineSettings();
    EXPECT_EQ(cfgetospeed(&line), static_cast<speed_t>(B19200));
    EXPECT_EQ(cfgetispeed(&line), static_cast<speed_t>(B19200));
    EXPECT_EQ(line.c_cflag & CSIZE, static_cast<tcflag_t>(CS8));
    EXPECT_EQ(line.c_cflag & (CREAD | CLOCAL), static_cast<tcflag_t>(CREAD | CLOCAL));
    EXPECT_EQ(line.c_cflag & CRTSCTS, 0u);
    EXPECT_EQ(line.c_iflag & (IXON | IXOFF | ICRNL | ISTRIP), 0u);
    EXPECT_EQ(line.c_lflag & (ICANON | ECHO | ISIG), 0u);
    EXPECT_EQ(line.c_oflag & OPOST, 0u);
    // Parity and stop bits are left as the port had them.
    EXPECT_EQ(line.c_cflag & (PARODD | CSTOPB), static_cast<tcflag_t>(PARODD | CSTOPB));
}

TEST_F(SerialPortTest, BaudChangesReachTheLine) {
    ASSERT_EQ(comOpen(&port, PORT, 19200), 1);
    for (unsigned baud : {115200u, 19200u, 9600u, 230400u}) {
        EXPECT_EQ(comSetBaud(&port, baud), 1) << baud;
    }
    EXPECT_EQ(lineSpeed(), static_cast<speed_t>(B230400));
    ASSERT_EQ(comSetBaud(&port, 115200), 1);
    EXPECT_EQ(lineSpeed(), static_cast<speed_t>(B115200));
    termios line = lineSettings();
    EXPECT_EQ(line.c_cflag & CSIZE, static_cast<tcflag_t>(CS8));
}

TEST_F(SerialPortTest, FailedBaudChangeClosesThePort) {
    ASSERT_EQ(comOpen(&port, PORT, 19200), 1);
    EXPECT_EQ(comSetBaud(&port, 12345), 0);
    expectClosedPortRefusesEverything(&port);
    EXPECT_EQ(comOpen(&port, PORT, 19200), 1) << "the device must have been released";
}

// The record keeps the port it holds; the refusal is told to the caller only.
TEST_F(SerialPortTest, SecondOpenOfAnOpenRecordIsRefusedSilently) {
    ASSERT_EQ(comOpen(&port, PORT, 19200), 1);
    std::intptr_t handle = port.handle;
    StdoutCapture capture;
    EXPECT_EQ(comOpen(&port, 42, 115200), 0);
    EXPECT_EQ(comOpenDevice(&port, peer.slavePath().c_str(), 115200), 0);
    EXPECT_EQ(capture.finish(), "");
    EXPECT_EQ(port.openFailure, PORT_OPEN_ALREADY);
    EXPECT_EQ(port.handle, handle);
    EXPECT_EQ(port.baud, 19200u);
    EXPECT_EQ(lineSpeed(), static_cast<speed_t>(B19200));
    EXPECT_EQ(comWrite(&port, "ok", 2), 2);
    EXPECT_EQ(peer.receive(2, 1000), "ok");
}

TEST_F(SerialPortTest, DeviceInUseCannotBeOpenedAgain) {
    ports.link(8, peer.slavePath());
    ASSERT_EQ(comOpen(&port, PORT, 19200), 1);
    SerialPort other{};
    EXPECT_EQ(comOpen(&other, PORT, 19200), 0);
    EXPECT_EQ(comOpen(&other, 8, 19200), 0) << "another name for the same device";
    EXPECT_EQ(other.isOpen, 0);
    comClose(&port);
    EXPECT_EQ(comOpen(&other, 8, 19200), 1);
    comClose(&other);
}

TEST_F(SerialPortTest, CloseIsHarmlessInEveryState) {
    EXPECT_EQ(comClose(&port), 1);
    EXPECT_EQ(comClose(nullptr), 1);
    ASSERT_EQ(comOpen(&port, PORT, 19200), 1);
    EXPECT_EQ(comClose(&port), 1);
    EXPECT_EQ(comClose(&port), 1);
    expectClosedPortRefusesEverything(&port);
}

TEST_F(SerialPortTest, EveryByteValuePassesUnchangedBothWays) {
    ASSERT_EQ(comOpen(&port, PORT, 115200), 1);
    const std::string bytes = allByteValues();
    EXPECT_EQ(comWrite(&port, bytes.data(), static_cast<std::int32_t>(bytes.size())), 256);
    EXPECT_EQ(peer.receive(256, 1000), bytes);

    ASSERT_TRUE(peer.send(bytes));
    std::string got;
    while (got.size() < bytes.size()) {
        std::string more = readAll(256);
        if (more.empty()) break;
        got += more;
    }
    EXPECT_EQ(got, bytes);
}

TEST_F(SerialPortTest, SendHelpersWriteToTheirPort) {
    ASSERT_EQ(comOpen(&port, PORT, 19200), 1);
    EXPECT_EQ(comSendByte(&port, 0x11B), 1);
    EXPECT_EQ(comSendString(&port, "^V$"), 3);
    EXPECT_EQ(comSendString(&port, ""), 0);
    EXPECT_EQ(peer.receive(4, 1000), "\x1b^V$");
}

TEST_F(SerialPortTest, ReadWithNothingSentGivesUpAfterASecond) {
    ASSERT_EQ(comOpen(&port, PORT, 19200), 1);
    std::uint32_t start = msNow();
    EXPECT_EQ(readAll(1), "");
    std::uint32_t spent = msNow() - start;
    EXPECT_GE(spent, 999u);
    EXPECT_LT(spent, 5000u);
}

TEST_F(SerialPortTest, ReadEndsAtCountOrAtAGap) {
    ASSERT_EQ(comOpen(&port, PORT, 19200), 1);
    ASSERT_TRUE(peer.send("ABCDEF"));
    EXPECT_EQ(readAll(4), "ABCD");
    EXPECT_EQ(comBytesWaiting(&port), 2);

    std::thread later([this] {
        msSleep(300);
        peer.send("GH");
    });
    std::uint32_t start = msNow();
    EXPECT_EQ(readAll(10), "EF") << "bytes after a gap belong to the next read";
    EXPECT_LT(msNow() - start, 250u);
    later.join();
    EXPECT_EQ(readAll(10), "GH");
}

TEST_F(SerialPortTest, CountsAndAwaitsWaitingBytes) {
    ASSERT_EQ(comOpen(&port, PORT, 19200), 1);
    EXPECT_EQ(comBytesWaiting(&port), 0);
    std::uint32_t start = msNow();
    EXPECT_EQ(comWaitInput(&port, 50), 0);
    EXPECT_GE(msNow() - start, 49u);

    std::thread later([this] {
        msSleep(100);
        peer.send("12345");
    });
    EXPECT_EQ(comWaitInput(&port, 3000), 1);
    later.join();
    msDelay(20);
    EXPECT_EQ(comBytesWaiting(&port), 5);
    EXPECT_EQ(comWaitInput(&port, 0), 1);

    // Read a byte at a time, as lines are: none lost, the count exact at every step.
    std::string sent = "12345";
    for (int value = 0; value < 595; ++value) sent += static_cast<char>('A' + value % 26);
    ASSERT_TRUE(peer.send(sent.substr(5)));
    msDelay(50);
    std::string got;
    for (int waiting = comBytesWaiting(&port); waiting > 0; --waiting) {
        char byte = 0;
        ASSERT_EQ(comRead(&port, &byte, 1), 1);
        got += byte;
        ASSERT_EQ(comBytesWaiting(&port), waiting - 1);
    }
    EXPECT_EQ(got, sent);
    EXPECT_EQ(comWaitInput(&port, 50), 0);
}

TEST_F(SerialPortTest, WriteThatCannotFinishIsAbandonedAndThePortStaysUsable) {
    ASSERT_EQ(comOpen(&port, PORT, 19200), 1);
    std::string flood(1 << 20, 'x');
    std::uint32_t start = msNow();
    EXPECT_EQ(comWrite(&port, flood.data(), static_cast<std::int32_t>(flood.size())), 0);
    std::uint32_t spent = msNow() - start;
    EXPECT_GE(spent, 999u);
    EXPECT_LT(spent, 5000u);
    peer.drain();
    EXPECT_EQ(comWrite(&port, "ok", 2), 2);
    EXPECT_EQ(peer.receive(2, 1000), "ok");
}

TEST_F(SerialPortTest, InvalidArgumentsAreRefused) {
    ASSERT_EQ(comOpen(&port, PORT, 19200), 1);
    char buffer[2];
    EXPECT_EQ(comWrite(&port, buffer, 0), 0);
    EXPECT_EQ(comWrite(&port, buffer, -1), 0);
    EXPECT_EQ(comWrite(&port, nullptr, 2), 0);
    EXPECT_EQ(comRead(&port, buffer, 0), 0);
    EXPECT_EQ(comRead(&port, buffer, -5), 0);
    EXPECT_EQ(comRead(&port, nullptr, 2), 0);
    EXPECT_EQ(comSendString(&port, nullptr), 0);
    EXPECT_EQ(comOpen(nullptr, PORT, 19200), 0);
    EXPECT_EQ(comOpenDevice(nullptr, peer.slavePath().c_str(), 19200), 0);
    SerialPort other{};
    EXPECT_EQ(comOpenDevice(&other, nullptr, 19200), 0);
    EXPECT_EQ(peer.drain(), "");
}

TEST_F(SerialPortTest, PeerHangUpEndsWaitsAtOnce) {
    ASSERT_EQ(comOpen(&port, PORT, 19200), 1);
    peer.hangUp();
    std::uint32_t start = msNow();
    EXPECT_EQ(readAll(4), "");
    EXPECT_EQ(comWaitInput(&port, 2000), PORT_LOST);
    EXPECT_LT(msNow() - start, 900u);
    EXPECT_EQ(comClose(&port), 1);
}

// With standard input closed the next descriptor is 0; the port must not
// take a standard stream's number.
TEST_F(SerialPortTest, PortNeverLandsOnAStandardStream) {
    pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        close(STDIN_FILENO);
        SerialPort own{};
        int opened = comOpen(&own, PORT, 19200);
        _exit(opened == 1 && own.handle > 2 && fcntl(STDIN_FILENO, F_GETFD) < 0 ? 0 : 1);
    }
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
}

}   // namespace
