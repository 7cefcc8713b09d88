#include <atomic>
#include <chrono>
#include <cstring>
#include <functional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <fcntl.h>

#include "app/probe.h"
#include "isp/isp.h"
#include "isp/line.h"
#include "isp/table.h"
#include "reference_uu.h"
#include "sim_fixture.h"
#include "support/stdout_capture.h"

namespace {

using Bytes = std::vector<std::uint8_t>;

constexpr std::uint32_t RAM = 0x10000000;
constexpr std::uint32_t BANK_A = 0x1A000000;

Bytes pattern(std::size_t n, unsigned seed) {
    Bytes out(n);
    for (std::size_t i = 0; i < n; ++i) out[i] = static_cast<std::uint8_t>(i * 31 + seed + (i >> 7));
    return out;
}

SimOptions blankSwitch() {
    return SimOptions{};
}

SimOptions programmedSwitch(SimFlashKind kind = SIM_FLASH_TABLE) {
    SimOptions options;
    options.flash.kind = kind;
    options.startInBootloader = true;
    return options;
}

// ---- synchronisation ----------------------------------------------------

using Synchronisation = SimTest;

TEST_F(Synchronisation, FreshBootloaderIsSynchronisedWithEchoOff) {
    start(blankSwitch());
    EXPECT_EQ(nxpSync(link), 1);
    EXPECT_EQ(link.port.baud, 115200u);
    SimStatus status = simStatus(sim);
    EXPECT_EQ(status.mode, SIM_MODE_ISP);
    EXPECT_FALSE(status.echo);
    EXPECT_EQ(received(), "\x1b^P$?\rSynchronized\r\nO\rA 0\r");
}

TEST_F(Synchronisation, ApplicationAnswersAt19200) {
    SimOptions options = programmedSwitch();
    options.startInBootloader = false;
    start(options);
    EXPECT_EQ(nxpSync(link), 2);
    EXPECT_EQ(link.port.baud, 19200u);
    EXPECT_EQ(simStatus(sim).mode, SIM_MODE_APPLICATION);
}

// A bootloader left synchronised by an earlier run, with its echo on or off:
// no second handshake, only "A 0".
TEST_F(Synchronisation, AlreadySynchronisedBootloader) {
    start(blankSwitch());
    ASSERT_EQ(nxpSync(link), 1);
    for (bool echo : {true, false}) {
        if (echo) {
            comSendString(&link.port, "A 1\r\n");
            char reply[8];
            ASSERT_EQ(readLineCr(link, reply, sizeof reply), 1);
            ASSERT_TRUE(simStatus(sim).echo);
        }
        drainInput(link);
        comSetBaud(&link.port, 19200);
        link.port.baud = 19200;
        simClearTraffic(sim);
        EXPECT_EQ(nxpSync(link), 1) << "echo " << echo;
        EXPECT_EQ(link.port.baud, 115200u);
        EXPECT_FALSE(simStatus(sim).echo);
        EXPECT_EQ(received(), "\x1b^P$?\rA 0\r") << "echo " << echo;
    }
}

// ---- commands against the device's rules -------------------------------------------

class Commands : public SimTest {
  protected:
    void SetUp() override {
        start(blankSwitch());
        ASSERT_EQ(nxpSync(link), 1);
        drainInput(link);
        simClearTraffic(sim);
    }
};

TEST_F(Commands, FlashProgrammingSequenceFollowsTheRules) {
    Bytes block = pattern(512, 3);
    struct Step {
        const char* name;
        std::function<int()> call;
        int result;
    };
    const Step steps[] = {
        {"erase before unlock is refused", [&] { return nxpErase(link, 0, 0, 0); }, 1},
        {"unlock", [&] { return nxpUnlock(link); }, 0},
        {"erase without prepare is refused", [&] { return nxpErase(link, 0, 0, 0); }, 1},
        {"prepare beyond the bank is refused", [&] { return nxpPrepare(link, 0, 20, 0); }, 1},
        {"prepare", [&] { return nxpPrepare(link, 0, 0, 0); }, 0},
        {"erase", [&] { return nxpErase(link, 0, 0, 0); }, 0},
        {"write RAM", [&] { return nxpWrite(link, RAM, block.data(), 512); }, 0},
        {"write to unmapped memory is refused", [&] { return nxpWrite(link, 0x30000000, block.data(), 8); }, 2},
        {"copy without prepare is refused", [&] { return nxpCopy(link, BANK_A, RAM, 512); }, 1},
        {"prepare again", [&] { return nxpPrepare(link, 0, 0, 0); }, 0},
        {"copy of an odd size is refused", [&] { return nxpCopy(link, BANK_A, RAM, 100); }, 1},
        {"prepare once more", [&] { return nxpPrepare(link, 0, 0, 0); }, 0},
        {"copy", [&] { return nxpCopy(link, BANK_A, RAM, 512); }, 0},
        {"compare equal", [&] { return nxpCompare(link, BANK_A, RAM, 512); }, 0},
        {"compare with erased flash", [&] { return nxpCompare(link, BANK_A + 512, RAM, 512); }, 2},
        {"compare unaligned", [&] { return nxpCompare(link, BANK_A + 1, RAM, 512); }, 1},
    };
    for (const Step& step : steps) EXPECT_EQ(step.call(), step.result) << step.name;
    EXPECT_EQ(memory(BANK_A, 512), block);

    Bytes back(512, 0);
    EXPECT_EQ(nxpRead(link, back.data(), BANK_A, 512), 512);
    EXPECT_EQ(back, block);
    EXPECT_LT(nxpRead(link, back.data(), 0x30000000, 8), 1);

    PartId part{};
    EXPECT_EQ(nxpReadPartId(link, &part), 0);
    EXPECT_EQ(part.partWord0, 0xC830u);
    EXPECT_EQ(part.flashConfig, 0u);
    char line[8];
    EXPECT_EQ(readLineCr(link, line, sizeof line) + readLineCr(link, line, sizeof line), -2) << "nothing left unread";
}

TEST_F(Commands, WriteOf1024BytesIsOneCommandInTwoChecksumGroups) {
    Bytes data = pattern(1024, 7);
    ASSERT_EQ(nxpWrite(link, RAM + 0x200, data.data(), 1024), 0);
    std::string expected = "W 268435968 1024\r\n" + referenceChunk(data.data(), 900) +
                           referenceChunk(data.data() + 900, 124);
    EXPECT_EQ(received(), expected);
    EXPECT_EQ(memory(RAM + 0x200, 1024), data);
}

// The damaged line is in the second group: only that group goes again.
TEST_F(Commands, DamagedDataLineIsSentAgain) {
    SimFaults faults;
    faults.corruptDataLine = 23;
    simSetFaults(sim, faults);
    Bytes data = pattern(1800, 11);
    EXPECT_EQ(nxpWrite(link, RAM, data.data(), 1800), 0);
    EXPECT_EQ(simStatus(sim).resends, 1u);
    const std::string second = referenceChunk(data.data() + 900, 900);
    EXPECT_EQ(received(), "W 268435456 1800\r\n" + referenceChunk(data.data(), 900) + second + second);
    EXPECT_EQ(memory(RAM, 1800), data) << "RAM must hold the resent lines, not the damaged ones";
}

// With the echo on, a line that reached the bootloader otherwise than sent is
// seen even when its checksum passes, and RAM ends up as sent; an echo damaged
// only on its way back costs a read of RAM, not a second write.
TEST_F(Commands, EchoShowsWhatTheBootloaderHeard) {
    struct Case {
        const char* name;
        SimFaults faults;
        int writes;   // "W" commands for two writes of 4096 bytes
        bool readsRam;
    };
    SimFaults exchanged, lost, echoDamaged, resend;
    exchanged.exchangeGroups = 5;
    lost.loseCollision = 5;
    echoDamaged.corruptToHostRate = 1e-3;
    echoDamaged.corruptSeed = 3;
    resend.corruptDataLine = 3;
    const Case cases[] = {
        {"clean line", SimFaults{}, 2, false},
        {"groups exchanged, sum kept", exchanged, 3, true},
        {"character lost, sum kept", lost, 3, true},
        {"echo damaged on its way back", echoDamaged, 2, true},
        // A RESEND makes the next pieces 10 lines (448 bytes) long, until
        // sixteen groups in a row went through clean.
        {"a group resent", resend, 1 + 10, false},
    };
    const Bytes first = pattern(4096, 5), second = pattern(4096, 6);
    for (const Case& c : cases) {
        ASSERT_EQ(nxpEchoOn(link), 0) << c.name;
        simSetFaults(sim, c.faults);
        simClearTraffic(sim);
        EXPECT_EQ(nxpWrite(link, RAM, first.data(), 4096), 0) << c.name;
        EXPECT_EQ(memory(RAM, 4096), first) << c.name;
        EXPECT_EQ(nxpWrite(link, RAM + 4096, second.data(), 4096), 0) << c.name;
        EXPECT_EQ(memory(RAM + 4096, 4096), second) << c.name;
        std::istringstream heard(received());
        int writes = 0;
        bool readsRam = false;
        for (std::string line; std::getline(heard, line);) {
            writes += line.rfind("W ", 0) == 0;
            readsRam = readsRam || line.rfind("R ", 0) == 0;
        }
        EXPECT_EQ(writes, c.writes) << c.name;
        EXPECT_EQ(readsRam, c.readsRam) << c.name;
        simSetFaults(sim, SimFaults{});
        ASSERT_EQ(nxpSync(link), 1) << c.name;   // echo off again, as a new pass finds it
    }
}

// ---- the parameter table -------------------------------------------------

class TableTest : public SimTest {
  protected:
    DeviceIdentity identity{};

    using Edit = std::function<void(std::uint8_t* table, SimSwitch* sim)>;

    // Starts a switch and lets `edit` change the table in its flash; the table
    // CRC is recomputed over the edited bytes unless `keepCrc`.
    void startWithTable(SimOptions options, const Edit& edit, bool keepCrc = false) {
        start(options);
        std::uint32_t address = simTableAddress(options.flashConfig);
        Bytes table = memory(address, 512);
        edit(table.data(), sim);
        if (!keepCrc) putWord(&table[140], referenceCrc32(table.data(), 140));
        ASSERT_EQ(simWriteMemory(sim, address, table.data(), 512), 0);
        ASSERT_EQ(nxpSync(link), 1);
    }
    void startProgrammed(SimOptions options) {
        startWithTable(
            options, [](std::uint8_t*, SimSwitch*) {}, true);
    }
    std::string name() const { return identity.nameText; }
};

TEST_F(TableTest, SecondFormTableIsAcceptedAtBothLayouts) {
    for (std::uint32_t config : {0x00u, 0x44u}) {
        SimOptions options = programmedSwitch();
        options.flashConfig = config;
        options.flash.version = 0x02050000;
        options.flash.productId = 0x41;
        options.flash.pcbRevision = 2;
        options.flash.modelName = "Matrix 8";
        startProgrammed(options);
        identity.catalogueName = "kept";
        StdoutCapture capture;
        EXPECT_EQ(queryTable(link, &identity), 0);
        EXPECT_EQ(capture.text(), "");
        EXPECT_EQ(link.table.layout, config == 0 ? TABLE_LAYOUT_512K : TABLE_LAYOUT_256K);
        EXPECT_EQ(identity.version, 0x02050000u);
        EXPECT_EQ(identity.productId, 0x41);
        EXPECT_EQ(identity.pcbRevision, 2);
        EXPECT_EQ(name(), "Matrix 8");
        EXPECT_STREQ(modelNameOf(identity), "kept");
        EXPECT_EQ(std::memcmp(link.table.bytes, memory(simTableAddress(config), 512).data(), 512), 0);
        TearDown();
    }
}

TEST_F(TableTest, Outcomes) {
    struct Case {
        const char* name;
        SimOptions options;
        Edit edit;
        bool keepCrc;
        int result;
        std::uint32_t version;   // expected identity
        std::uint16_t productId;
        std::string printed;
    };
    auto with = [](std::function<void(SimOptions&)> change, SimFlashKind kind = SIM_FLASH_TABLE) {
        SimOptions options = programmedSwitch(kind);
        change(options);
        return options;
    };
    auto same = [](SimOptions&) {};
    auto none = [](std::uint8_t*, SimSwitch*) {};
    const std::string warning = "\nParameter table has a bad CRC!\n";
    const std::uint32_t v = SimFlashImage{}.version;
    const std::uint16_t id = SimFlashImage{}.productId;
    const Case cases[] = {
        {"unknown flash configuration", with([](SimOptions& o) { o.flashConfig = 0x22; }), none, true, 1, 0, 0, ""},
        {"erased flash", with(same, SIM_FLASH_BLANK), none, true, 3, 0, 0, ""},
        {"first form, no CRC checked", with(same, SIM_FLASH_FIRST_FORM),
         [](std::uint8_t* t, SimSwitch*) { t[140] ^= 0xFF; }, true, 0, v, id, ""},
        {"bad table CRC only warns", with(same), [](std::uint8_t* t, SimSwitch*) { t[141] ^= 1; }, true, 0, v, id,
         warning},
        {"CRC length over 512 only warns", with(same), [](std::uint8_t* t, SimSwitch*) { putWord(t + 48, 600); }, false,
         0, v, id, warning},
        {"region too long", with(same), [](std::uint8_t* t, SimSwitch*) { putWord(t + 56, 5000); }, false, 4, 0, id,
         ""},
        {"empty region counts as a failed read", with(same), [](std::uint8_t* t, SimSwitch*) { putWord(t + 56, 0); },
         false, 1, 0, 0, ""},
        {"region CRC wrong", with([](SimOptions& o) { o.flash.badRegionCrc = true; }), none, true, 5, 0, id, ""},
        {"region of five bytes", with(same),
         [](std::uint8_t* t, SimSwitch* sim) {
             std::uint8_t region[5];
             simReadMemory(sim, BANK_A, region, 5);
             putWord(t + 56, 5);
             putWord(t + 60, referenceCrc32(region, 5));
         },
         false, 0, v, id, ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        startWithTable(c.options, c.edit, c.keepCrc);
        identity = DeviceIdentity{7, 7, 7, 7, 7, nullptr, false, "stale"};
        StdoutCapture capture;
        EXPECT_EQ(queryTable(link, &identity), c.result);
        EXPECT_EQ(capture.text(), c.printed);
        EXPECT_EQ(identity.version, c.version);
        EXPECT_EQ(identity.productId, c.productId);
        if (c.productId == 0) {
            EXPECT_EQ(name(), "");
        }
        TearDown();
    }
}

TEST_F(TableTest, PartIdentificationUnansweredMeans512kBanks) {
    SimOptions options = programmedSwitch();
    options.partIdReply = SIM_PART_ID_SILENT;
    startProgrammed(options);
    EXPECT_EQ(queryTable(link, &identity), 0);
    EXPECT_EQ(link.table.layout, TABLE_LAYOUT_512K);
}

TEST_F(TableTest, NameOfThirtyTwoCharactersIsTerminated) {
    SimOptions options = programmedSwitch();
    options.flash.modelName = "ABCDEFGHIJKLMNOPQRSTUVWXYZ012345";
    startProgrammed(options);
    EXPECT_EQ(queryTable(link, &identity), 0);
    EXPECT_EQ(name(), "ABCDEFGHIJKLMNOPQRSTUVWXYZ012345");
}

// ---- reboot ---------------------------------------------------------------

TEST_F(TableTest, RebootStartsTheApplicationAtItsEntryAddress) {
    SimOptions options = programmedSwitch();
    options.flash.entryAddress = 0x1A00D839;
    startProgrammed(options);
    simClearTraffic(sim);
    StdoutCapture capture;
    EXPECT_EQ(reboot(link), 0);
    EXPECT_EQ(capture.text(), "");
    std::string sent = received();
    EXPECT_NE(sent.find("U 23130\r\nG 436262968 T\r\n"), std::string::npos) << sent;
    EXPECT_TRUE(simWaitFor(
        sim, [](const SimStatus& s) { return s.mode == SIM_MODE_APPLICATION; }, 2000));
}

TEST_F(TableTest, RebootRefusals) {
    struct Case {
        const char* name;
        SimFlashKind kind;
        int result;
        std::string printed;
    };
    const Case cases[] = {
        {"first form has no entry address", SIM_FLASH_FIRST_FORM, REBOOT_NO_ENTRY, "reboot: No vector table loaded.\n"},
        {"no table", SIM_FLASH_BLANK, REBOOT_NO_TABLE, "reboot: queryTable error: 3\n"},
    };
    for (const Case& c : cases) {
        start(programmedSwitch(c.kind));
        ASSERT_EQ(nxpSync(link), 1);
        StdoutCapture capture;
        EXPECT_EQ(reboot(link), c.result) << c.name;
        EXPECT_EQ(capture.text(), c.printed) << c.name;
        EXPECT_NE(simStatus(sim).mode, SIM_MODE_APPLICATION) << c.name;
        TearDown();
    }
}

TEST_F(TableTest, RebootReportsAnUnansweredUnlock) {
    startProgrammed(programmedSwitch());
    simClearTraffic(sim);
    ASSERT_EQ(queryTable(link, nullptr), 0);
    // The table reads end with the host's last "OK"; wait until the switch has taken it.
    std::string reads = received();
    for (int i = 0; i < 100 && reads.substr(reads.size() - 4) != "OK\r\n"; ++i, reads = received()) usleep(10000);
    SimFaults faults;
    faults.silentAfterBytes = reads.size();   // hears reboot's table reads, then nothing
    simSetFaults(sim, faults);
    StdoutCapture capture;
    EXPECT_EQ(reboot(link), REBOOT_FAILED);
    EXPECT_EQ(capture.text(), "reboot: nxpUnlock error\n");
}

// ---- probe ----------------------------------------------------------------

class Probe : public SimTest {
  protected:
    void SetUp() override { link.identity = DeviceIdentity{0x99, 9, 9, 9, 0x09090000, nullptr, false, "before"}; }
};

TEST_F(Probe, Outcomes) {
    struct Case {
        const char* name;
        SimOptions options;
        int result;
        int link;
        std::uint16_t productId;   // of link.identity afterwards
        std::uint32_t version;
        std::string name_;
    };
    SimFlashImage flash;
    flash.kind = SIM_FLASH_TABLE;
    flash.productId = 0x42;
    flash.pcbRevision = 4;
    flash.version = 0x01020000;
    flash.modelName = "Zone Mixer";
    auto options = [&flash](bool bootloader, std::function<void(SimOptions&)> change) {
        SimOptions o;
        o.flash = flash;
        o.startInBootloader = bootloader;
        change(o);
        return o;
    };
    const Case cases[] = {
        {"application with a version reply", options(false, [](SimOptions&) {}), PROBE_IDENTIFIED, LINK_APPLICATION,
         0x42, 0x01020000, "Zone Mixer"},
        {"application with a malformed version reply", options(false, [](SimOptions& o) { o.versionReply = "^=X$"; }),
         PROBE_UNIDENTIFIED, LINK_APPLICATION, 0, 0, ""},
        {"bootloader with a table", options(true, [](SimOptions&) {}), PROBE_IDENTIFIED, LINK_BOOTLOADER, 0x42,
         0x01020000, "Zone Mixer"},
        {"bootloader with a bad region", options(true, [](SimOptions& o) { o.flash.badRegionCrc = true; }),
         PROBE_IDENTIFIED, LINK_BOOTLOADER, 0x42, 0, "Zone Mixer"},
        {"bootloader without a table", options(true, [](SimOptions& o) { o.flash.kind = SIM_FLASH_BLANK; }),
         PROBE_IDENTIFIED, LINK_BOOTLOADER_NO_TABLE, 0x99, 0x09090000, "before"},
        {"bootloader of unknown flash layout", options(true, [](SimOptions& o) { o.flashConfig = 0x22; }),
         PROBE_UNIDENTIFIED, LINK_NONE, 0x99, 0x09090000, "before"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        SetUp();
        start(c.options);
        EXPECT_EQ(probeDevice(link), c.result);
        EXPECT_EQ(link.state, c.link);
        if (c.result == PROBE_IDENTIFIED) {
            EXPECT_EQ(link.identity.productId, c.productId);
            EXPECT_EQ(link.identity.version, c.version);
            EXPECT_EQ(std::string(link.identity.nameText), c.name_);
        }
        if (c.link == LINK_BOOTLOADER) {
            EXPECT_EQ(link.identity.pcbRevision, 4);
            EXPECT_TRUE(link.identity.ownName);
        }
        TearDown();
    }
}

// ---- a line that sends nothing but line ends ------------------------------

// The master side of a pseudo-terminal, its slave reached as COM7.
struct LineEndPeer {
    int master = posix_openpt(O_RDWR | O_NOCTTY);
    std::string dir;

    bool open(SwitchLink& link) {
        char pattern[] = "/tmp/bmfwu-isp-XXXXXX";
        if (master < 0 || grantpt(master) != 0 || unlockpt(master) != 0 || mkdtemp(pattern) == nullptr) return false;
        dir = pattern;
        if (symlink(ptsname(master), (dir + "/COM7").c_str()) != 0) return false;
        setenv("BMFWU_PORT_DIR", dir.c_str(), 1);
        return comOpen(&link.port, 7, 115200) == 1;
    }
    ~LineEndPeer() {
        if (master >= 0) close(master);
        if (dir.empty()) return;
        unlink((dir + "/COM7").c_str());
        rmdir(dir.c_str());
    }
};

// A switch that answers with CR LF over and over, and nothing else, must not
// hold a run: every read of an answer waits against one deadline.
TEST(LineEnds, EndlessLineEndsDoNotHoldACommand) {
    struct Case {
        const char* name;
        std::function<int(SwitchLink&)> call;
        int result;
    };
    const Case cases[] = {
        {"an echo",
         [](SwitchLink& l) {
             char echo[64];
             return readEchoLine(l, echo, sizeof echo);
         },
         -1},
        {"an echoed command", [](SwitchLink& l) { return nxpUnlock(l); }, ISP_FAILED},
    };
    constexpr int MOST_SENDS = 3000;   // some 6 s of line ends: far beyond any command's budget
    for (const Case& c : cases) {
        LineEndPeer peer;
        SwitchLink link;
        ASSERT_TRUE(peer.open(link)) << c.name;
        link.isp.echoMode = true;
        std::atomic<bool> done{false};
        std::atomic<int> sends{0};
        std::thread sender([&] {
            for (; !done && sends < MOST_SENDS && write(peer.master, "\r\n", 2) == 2; ++sends)
                std::this_thread::sleep_for(std::chrono::milliseconds(2));
        });
        EXPECT_EQ(c.call(link), c.result) << c.name;
        done = true;
        sender.join();
        EXPECT_LT(sends, MOST_SENDS) << c.name << ": it waited until the line ends stopped";
        comClose(&link.port);
    }
}

}   // namespace
