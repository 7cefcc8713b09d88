// Malformed answers from the switch, each run against the bmfwu binary with a
// time limit: whatever the switch says, the program must end with one of its
// own messages, the key prompt and status 1, in bounded time. The sanitizer
// build of the suite turns any memory fault in the binary into a failure.
#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <ostream>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "app/program_run.h"
#include "app/transcript.h"

namespace {

constexpr unsigned PORT = 5;
constexpr unsigned TIME_LIMIT_MS = 20000;   // the longest case needs about 5 s
constexpr std::uint32_t TABLE_ADDRESS = 0x1A07FE00;

using Answer = std::function<std::string(const std::string& line)>;

// A switch played by a function of each line the host sends: a pseudo-
// terminal whose slave is linked as COMn. A line ends at CR or "$" (the
// application's requests carry no CR); LF and ESC are dropped. After
// `budget` bytes the switch falls silent, cutting its reply there.
class ScriptedSwitch {
  public:
    ScriptedSwitch(const TempDir& ports, Answer answer, std::size_t budget = SIZE_MAX)
        : answer_(std::move(answer)), budget_(budget) {
        master_ = posix_openpt(O_RDWR | O_NOCTTY);
        if (master_ < 0 || grantpt(master_) != 0 || unlockpt(master_) != 0) throw std::runtime_error("no pty");
        // Never blocks: a program that stops reading must not hold the peer.
        fcntl(master_, F_SETFL, fcntl(master_, F_GETFL) | O_NONBLOCK);
        const std::string slave = ptsname(master_);
        // Held open so the master never reads a hang-up between the program's opens.
        slave_ = open(slave.c_str(), O_RDWR | O_NOCTTY);
        if (slave_ < 0 || symlink(slave.c_str(), ports.comPath(PORT).c_str()) != 0)
            throw std::runtime_error("cannot link the pty");
        thread_ = std::thread([this] { serve(); });
    }
    ~ScriptedSwitch() {
        stop_ = true;
        thread_.join();
        close(slave_);
        close(master_);
    }
    ScriptedSwitch(const ScriptedSwitch&) = delete;
    ScriptedSwitch& operator=(const ScriptedSwitch&) = delete;

  private:
    void serve() {
        std::string line;
        while (!stop_) {
            pollfd readable{master_, POLLIN, 0};
            if (poll(&readable, 1, 20) <= 0 || !(readable.revents & POLLIN)) continue;
            char bytes[512];
            const ssize_t got = read(master_, bytes, sizeof bytes);
            for (ssize_t i = 0; i < got; ++i) {
                const char c = bytes[i];
                if (c == '\r' || c == '$') {
                    reply(answer_(line + (c == '$' ? "$" : "")));
                    line.clear();
                } else if (c != '\n' && c != 0x1B && line.size() < 4096) {
                    line.push_back(c);
                }
            }
        }
    }
    void reply(const std::string& text) {
        const std::size_t size = std::min(text.size(), budget_);
        budget_ -= size;
        for (std::size_t sent = 0; sent < size && !stop_;) {
            const ssize_t n = write(master_, text.data() + sent, size - sent);
            if (n > 0) {
                sent += static_cast<std::size_t>(n);
                continue;
            }
            if (errno != EAGAIN) return;
            pollfd writable{master_, POLLOUT, 0};
            poll(&writable, 1, 20);
        }
    }

    Answer answer_;
    std::size_t budget_;
    int master_ = -1;
    int slave_ = -1;
    std::atomic<bool> stop_{false};
    std::thread thread_;
};

// ---- An honest ROM bootloader, and the ways a case spoils it ----

struct Bootloader {
    std::string partId = "2684471344";
    std::string flashConfig = "0";
    std::uint8_t table[512];
    int checksumError = 0;        // added to every data checksum sent
    bool lyingLength = false;     // data lines claim 45 bytes and carry fewer characters
    bool longDataLines = false;   // data lines of 200 characters
};

std::uint8_t flashByte(const Bootloader& b, std::uint32_t address) {
    const std::uint32_t offset = address - TABLE_ADDRESS;
    return offset < sizeof b.table ? b.table[offset] : static_cast<std::uint8_t>((address * 31u) >> 3);
}

char sextet(unsigned value) {
    return static_cast<char>((value & 0x3F) == 0 ? 0x60 : 0x20 + (value & 0x3F));
}

std::string dataLine(const std::uint8_t* bytes, int n, const Bootloader& b) {
    std::string line(1, sextet(b.lyingLength ? 45u : static_cast<unsigned>(n)));
    for (int i = 0; i < n; i += 3) {
        const unsigned b0 = bytes[i], b1 = i + 1 < n ? bytes[i + 1] : 0, b2 = i + 2 < n ? bytes[i + 2] : 0;
        line += {sextet(b0 >> 2), sextet((b0 << 4) | (b1 >> 4)), sextet((b1 << 2) | (b2 >> 6)), sextet(b2)};
    }
    if (b.lyingLength) line.resize(line.size() / 2);
    if (b.longDataLines) line.append(200, 'M');
    return line + "\r\n";
}

std::string readAnswer(const Bootloader& b, std::uint32_t address, std::uint32_t count) {
    std::string text = "0\r\n";
    std::uint32_t sum = 0;
    for (std::uint32_t done = 0; done < count;) {
        std::uint8_t bytes[45];
        const int n = static_cast<int>(std::min<std::uint32_t>(count - done, 45));
        for (int i = 0; i < n; ++i) sum += bytes[i] = flashByte(b, address + done + static_cast<std::uint32_t>(i));
        text += dataLine(bytes, n, b);
        done += static_cast<std::uint32_t>(n);
    }
    return text + std::to_string(sum + static_cast<std::uint32_t>(b.checksumError)) + "\r\n";
}

Answer bootloader(const Bootloader& b) {
    return [b](const std::string& line) -> std::string {
        unsigned long address = 0, count = 0;
        if (!line.empty() && line.back() == '?') return "Synchronized\r\n";
        if (line == "Synchronized") return "Synchronized\r\nOK\r\n";
        if (line == "O") return "O\r\nOK\r\n";   // echo still on
        if (line == "A 0") return "A 0\r\n0\r\n";
        if (line == "J") return "0\r\n" + b.partId + "\r\n" + b.flashConfig + "\r\n";
        if (std::sscanf(line.c_str(), "R %lu %lu", &address, &count) == 2 && count <= 900)
            return readAnswer(b, static_cast<std::uint32_t>(address), static_cast<std::uint32_t>(count));
        return "";
    };
}

// The usual CRC-32 (reflected, polynomial 0xEDB88320), computed here so the
// peer shares nothing with the program it tests.
std::uint32_t crc32Of(const std::function<std::uint8_t(std::uint32_t)>& byteAt, std::uint32_t count) {
    std::uint32_t crc = 0xFFFFFFFF;
    for (std::uint32_t i = 0; i < count; ++i) {
        crc ^= byteAt(i);
        for (int bit = 0; bit < 8; ++bit) crc = crc >> 1 ^ (crc & 1 ? 0xEDB88320u : 0);
    }
    return ~crc;
}

void putWord(std::uint8_t* at, std::uint32_t value) {
    for (int i = 0; i < 4; ++i) at[i] = static_cast<std::uint8_t>(value >> (8 * i));
}

struct TableFields {
    std::uint32_t crcLength = 144;
    std::uint32_t regionAddress = 0x1A000000;
    std::uint32_t regionLength = 512;
    const char* name = "Sonavex F";
    std::uint8_t productId = 0x56;
};

// A table of the second form whose own CRC holds, with a region CRC that holds
// for the bootloader's flash bytes, whatever its lengths and addresses say.
Bootloader withTable(const TableFields& f) {
    Bootloader b;
    std::memset(b.table, 0xFF, sizeof b.table);
    putWord(b.table + 0, 146040);
    putWord(b.table + 4, 0x03030000);
    std::memset(b.table + 8, 0, 32);
    std::memcpy(b.table + 8, f.name, std::min<std::size_t>(std::strlen(f.name), 32));
    putWord(b.table + 40, 0x1E3CA502);
    putWord(b.table + 44, static_cast<std::uint32_t>(f.productId) << 24 | 3u << 16);   // PCB revision 3
    putWord(b.table + 48, f.crcLength);
    putWord(b.table + 52, f.regionAddress);
    putWord(b.table + 56, f.regionLength);
    putWord(b.table + 132, 0x1A000101);
    if (f.regionLength <= 4096)
        putWord(b.table + 60,
                crc32Of([&](std::uint32_t i) { return flashByte(b, f.regionAddress + i); }, f.regionLength));
    if (f.crcLength >= 4 && f.crcLength <= 512)
        putWord(b.table + f.crcLength - 4, crc32Of([&](std::uint32_t i) { return b.table[i]; }, f.crcLength - 4));
    return b;
}

// ---- The switch application ----

Answer application(const std::string& versionReply, const std::string& pingReply = "^=P00$") {
    return [=](const std::string& line) -> std::string {
        if (line == "^P$") return pingReply;
        if (line == "^V$") return versionReply;
        return "";
    };
}

Answer always(const std::string& text) {
    return [text](const std::string&) { return text; };
}

std::string garbage(std::size_t size, unsigned seed) {
    std::string text;
    for (std::size_t i = 0; i < size; ++i) {
        seed = seed * 1103515245u + 12345u;
        text.push_back(static_cast<char>(seed >> 16));
    }
    return text;
}

// ---- The catalogue ----

const std::string NOT_FOUND = "\nNo Brenmoor device found on COM5.\n";
const std::string CANCELED = "\nUpdate canceled.\n\n";
const std::string NO_TABLE =
    "\nThe switch on COM5 is in its bootloader without firmware information and cannot be identified.\n";
const std::string NOT_COMPATIBLE_PREFIX = "\nThe device on COM5 not compatible with this update.\nProduct name: \"";

struct HostileCase {
    std::string name;
    std::function<Answer()> peer;
    std::string ending;   // the program's last message before the key prompt
    std::size_t budget = SIZE_MAX;
};

// Bytes from the switch reach the terminal only as printable text: a name
// carrying escape sequences must not clear the screen or ring the bell.
void expectOnlyPrintable(const std::string& output) {
    for (char byte : output) {
        const auto value = static_cast<unsigned char>(byte);
        ASSERT_TRUE(byte == '\n' || (value >= 0x20 && value < 0x7F)) << "byte " << unsigned{value} << " in\n" << output;
    }
}

// Names the case in failure reports instead of dumping its bytes.
void PrintTo(const HostileCase& c, std::ostream* out) {
    *out << c.name;
}

class HostileSwitch : public testing::TestWithParam<HostileCase> {};

TEST_P(HostileSwitch, EndsWithAMessageAndStatusOne) {
    const HostileCase& c = GetParam();
    TempDir ports;
    ScriptedSwitch peer(ports, c.peer(), c.budget);
    const ProgramRun run = runProgram({std::to_string(PORT)}, ports.path(), {}, TIME_LIMIT_MS);
    EXPECT_FALSE(run.timedOut) << run.output;
    EXPECT_EQ(run.status, 1) << run.output;
    const std::string expected = c.ending + KEY_WAIT;
    ASSERT_GE(run.output.size(), expected.size()) << run.output;
    EXPECT_EQ(run.output.substr(run.output.size() - expected.size()), expected) << run.output;
    EXPECT_EQ(run.output.rfind(START + "\nCOM5: ", 0), 0u) << run.output;
    expectOnlyPrintable(run.output);
}

std::string tooLongNumber() {
    return std::string(11, '9');
}   // beyond 32 bits

std::string repeated(const std::string& text, int times) {
    std::string all;
    for (int i = 0; i < times; ++i) all += text;
    return all;
}

const HostileCase WIRE_CASES[] = {
    {"SilentSwitch", [] { return always(""); }, NOT_FOUND},
    {"BinaryGarbage", [] { return always(garbage(300, 1)); }, NOT_FOUND},
    {"GarbageWithLineEnds", [] { return always(garbage(100, 2) + "\r\n$" + garbage(100, 3) + "\r"); }, NOT_FOUND},
    {"OverLongLines", [] { return always(std::string(5000, 'A') + "\r\n"); }, NOT_FOUND},
    {"OverLongReplyWithoutEnd", [] { return always(std::string(70000, '^')); }, NOT_FOUND},
    {"NulAndControlBytesOnly", [] { return always(std::string("\0\x01\x02\x7f\x80\xff\x1b", 7)); }, NOT_FOUND},
};

const HostileCase APPLICATION_CASES[] = {
    {"EndlessKeepAlives", [] { return application(repeated("^+$", 100)); }, NOT_FOUND},
    {"VersionReplyCutShort", [] { return application("^=V \"Sonavex F\" 3."); }, NOT_FOUND},
    {"VersionReplyOverLong", [] { return application("^=V \"" + std::string(300, 'N') + "\" 3.03$"); }, NOT_FOUND},
    {"VersionNumbersOutOfRange",
     [] {
         return application("^=V \"\" " + tooLongNumber() + "." + tooLongNumber() + "z," + tooLongNumber() + ",-1," +
                            tooLongNumber() + "$");
     },
     NOT_COMPATIBLE_PREFIX + "\"\n"},
    {"NameWithControlBytes", [] { return application("^=V \"Son\x07\x1b[2J\x01vex\" 3.03,86,3,1a$"); }, CANCELED},
    {"NameUnclosed", [] { return application("^=V \"Sonavex F 3.03,86,3,1a$"); }, NOT_FOUND},
    {"PingReplyGarbage", [] { return application("", "^=P\x01\x02\xff$"); }, NOT_FOUND},
};

const HostileCase BOOTLOADER_CASES[] = {
    {"ChecksumsNeverMatch",
     [] {
         Bootloader b = withTable({});
         b.checksumError = 1;
         return bootloader(b);
     },
     NOT_FOUND},
    {"DataLinesWhoseLengthLies",
     [] {
         Bootloader b = withTable({});
         b.lyingLength = true;
         return bootloader(b);
     },
     NOT_FOUND},
    {"DataLinesOverLong",
     [] {
         Bootloader b = withTable({});
         b.longDataLines = true;
         return bootloader(b);
     },
     NOT_FOUND},
    {"PartIdOutOfRange",
     [] {
         Bootloader b = withTable({});
         b.partId = tooLongNumber();
         b.flashConfig = tooLongNumber();
         return bootloader(b);
     },
     NOT_FOUND},
    {"TableRegionEndless", [] { return bootloader(withTable({.regionLength = 0xFFFFFFFF})); }, CANCELED},
    {"TableRegionWrapsAddressSpace",
     [] { return bootloader(withTable({.regionAddress = 0xFFFFF000, .regionLength = 4096})); }, CANCELED},
    {"TableRegionIsTheTable", [] { return bootloader(withTable({.regionAddress = TABLE_ADDRESS})); }, CANCELED},
    {"TableRegionEmpty", [] { return bootloader(withTable({.regionLength = 0})); }, NOT_FOUND},
    {"TableCrcLengthEndless", [] { return bootloader(withTable({.crcLength = 0xFFFFFFFF})); }, CANCELED},
    {"TableCrcLengthZero", [] { return bootloader(withTable({.crcLength = 0})); }, CANCELED},
    {"TableNameWithControlBytes",
     [] {
         return bootloader(withTable({.name = "\x1b[2J\x07\x01\x7f\xff"
                                              "0123456789012345678901234567"}));
     },
     CANCELED},
    {"TableForUnknownProduct", [] { return bootloader(withTable({.productId = 0xEE})); },
     NOT_COMPATIBLE_PREFIX + "Sonavex F\"\n"},
};

// An honest bootloader falling silent after a given number of bytes: cuts
// inside each reply of the probe (synchronisation, part identification,
// table read).
std::vector<HostileCase> cutCases() {
    const std::size_t cuts[] = {1, 7, 14, 20, 31, 38, 45, 52, 60, 100, 400, 700, 1400};
    std::vector<HostileCase> cases;
    for (std::size_t cut : cuts) {
        cases.push_back({"BootloaderCutAfter" + std::to_string(cut) + "Bytes", [] { return bootloader(withTable({})); },
                         NOT_FOUND, cut});
    }
    return cases;
}

std::string caseName(const testing::TestParamInfo<HostileCase>& info) {
    return info.param.name;
}

INSTANTIATE_TEST_SUITE_P(Wire, HostileSwitch, testing::ValuesIn(WIRE_CASES), caseName);
INSTANTIATE_TEST_SUITE_P(Application, HostileSwitch, testing::ValuesIn(APPLICATION_CASES), caseName);
INSTANTIATE_TEST_SUITE_P(Bootloader, HostileSwitch, testing::ValuesIn(BOOTLOADER_CASES), caseName);
INSTANTIATE_TEST_SUITE_P(Cut, HostileSwitch, testing::ValuesIn(cutCases()), caseName);

}   // namespace
