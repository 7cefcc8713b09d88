// The simulated switch's application, its start rules, and the way between
// application and ROM bootloader.
#include "sim_test_support.h"

namespace {

using App = SimTest;

SimOptions installed(SimFlashKind kind = SIM_FLASH_TABLE) {
    SimOptions options;
    options.flash.kind = kind;
    return options;
}

std::uint32_t regionCrcOf(SimSwitch* sim) {
    std::uint8_t word[4];
    simReadMemory(sim, simTableAddress(0) + 60, word, 4);
    return simLoad32(word);
}

struct StartCase {
    const char* name;
    SimFlashKind kind;
    bool badRegionCrc;
    bool startInBootloader;
    SimMode expected;
};

const StartCase START_CASES[] = {
    {"Blank", SIM_FLASH_BLANK, false, false, SIM_MODE_AUTOBAUD},
    {"SecondForm", SIM_FLASH_TABLE, false, false, SIM_MODE_APPLICATION},
    {"FirstForm", SIM_FLASH_FIRST_FORM, false, false, SIM_MODE_APPLICATION},
    {"BadRegionCrc", SIM_FLASH_TABLE, true, false, SIM_MODE_AUTOBAUD},
    {"IspPinHeld", SIM_FLASH_TABLE, false, true, SIM_MODE_AUTOBAUD},
};

class StartRule : public ::testing::TestWithParam<StartCase> {};

TEST_P(StartRule, FlashDecidesWhatRuns) {
    SimOptions options;
    options.flash.kind = GetParam().kind;
    options.flash.badRegionCrc = GetParam().badRegionCrc;
    options.startInBootloader = GetParam().startInBootloader;
    std::string error;
    SimSwitch* sim = simStart(options, &error);
    ASSERT_NE(sim, nullptr) << error;
    EXPECT_EQ(simStatus(sim).mode, GetParam().expected);
    simStop(sim);
}

INSTANTIATE_TEST_SUITE_P(Reset, StartRule, ::testing::ValuesIn(START_CASES),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(App, ResetWantsTheVectorChecksumUnlessTold) {
    // Firmware whose table is sound but whose first eight words do not sum to zero.
    SimFlashImage image;
    image.kind = SIM_FLASH_TABLE;
    std::uint8_t application[512], table[512];
    simBuildApplication(image, application);
    application[28] ^= 1;
    simStore32(application + 508, simCrc32(application, 508));
    simBuildTable(image, application, table);
    for (bool ignore : {false, true}) {
        SimOptions options;
        options.ignoreVectorChecksum = ignore;
        start(options);
        ASSERT_EQ(simWriteMemory(sim, FLASH_A, application, 512), 0);
        ASSERT_EQ(simWriteMemory(sim, simTableAddress(0), table, 512), 0);
        simReset(sim);
        EXPECT_EQ(simStatus(sim).mode, ignore ? SIM_MODE_APPLICATION : SIM_MODE_AUTOBAUD);
        EXPECT_EQ(simStatus(sim).resets, 2u);
        host.reset();
        simStop(sim);
        sim = nullptr;
    }
}

TEST_F(App, CodeThatIsNotWholeIsSilentUntilAPowerOnFindsItWhole) {
    // Valid vectors and a table, but the body after them damaged: the ROM
    // starts it, and it never answers.
    start(installed());
    std::uint8_t application[512];
    ASSERT_EQ(simReadMemory(sim, FLASH_A, application, 512), 0);
    application[200] ^= 1;
    ASSERT_EQ(simWriteMemory(sim, FLASH_A, application, 512), 0);
    simReset(sim);
    EXPECT_EQ(simStatus(sim).mode, SIM_MODE_HALTED);
    host->setBaud(19200);
    EXPECT_EQ(host->ask("^P$", 1, 200), "");
    application[200] ^= 1;
    ASSERT_EQ(simWriteMemory(sim, FLASH_A, application, 512), 0);
    simReset(sim);
    EXPECT_EQ(simStatus(sim).mode, SIM_MODE_APPLICATION);
}

TEST_F(App, AnswersPingOnlyAt19200) {
    start(installed(), 115200);
    EXPECT_EQ(host->ask("^P$", 1, 200), "");
    host->setBaud(19200);
    host->send("\x1B^P$*\r");   // as a synchronisation attempt sends it
    EXPECT_EQ(host->readFor(100), "^=P00$");
}

struct VersionCase {
    const char* name;
    SimFlashKind kind;
    std::uint32_t version;
    const char* modelName;
    const char* replyBeforeHex;
};

const VersionCase VERSION_CASES[] = {
    {"Plain", SIM_FLASH_TABLE, 0x03040000, "Sonavex F", "^=V \"Sonavex F\" 3.04,86,3,"},
    {"SubAndLetter", SIM_FLASH_TABLE, 0x020A2003, "M", "^=V \"M\" 2.10.3b,86,3,"},
    {"LetterOnly", SIM_FLASH_TABLE, 0x01051000, "", "^=V \"\" 1.05a,86,3,"},
    {"NameOf32", SIM_FLASH_TABLE, 0x03000000, "ABCDEFGHIJKLMNOPQRSTUVWXYZ012345",
     "^=V \"ABCDEFGHIJKLMNOPQRSTUVWXYZ012345\" 3.00,86,3,"},
    {"FirstForm", SIM_FLASH_FIRST_FORM, 0x02000000, "Old", "^=V \"Old\" 2.00,86,3,"},
};

class VersionReply : public SimTest, public ::testing::WithParamInterface<VersionCase> {};

TEST_P(VersionReply, IsBuiltFromTheTable) {
    const VersionCase& c = GetParam();
    SimOptions options = installed(c.kind);
    options.flash.version = c.version;
    options.flash.modelName = c.modelName;
    start(options, 19200);
    const std::string reply = host->request("^V$", 100);
    char hex[16];
    std::snprintf(hex, sizeof hex, "%X$", c.kind == SIM_FLASH_TABLE ? regionCrcOf(sim) : 0u);
    EXPECT_EQ(reply, std::string(c.replyBeforeHex) + hex);
}

INSTANTIATE_TEST_SUITE_P(Forms, VersionReply, ::testing::ValuesIn(VERSION_CASES),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(App, KeepAliveLinesAndAGivenReply) {
    SimOptions options = installed();
    options.keepAliveLines = 2;
    options.versionReply = "^=V \"X\" 1.00$";
    options.pingReply = "^+$";
    start(options, 19200);
    EXPECT_EQ(host->request("^V$", 100), "^+$^+$^=V \"X\" 1.00$");
    EXPECT_EQ(host->request("^P$", 100), "^+$");
}

TEST_F(App, BootlRequestEntersTheRomUnsynchronised) {
    start(installed(), 19200);
    host->send("^BOOTL$");
    ASSERT_TRUE(simWaitFor(
        sim, [](const SimStatus& s) { return s.mode == SIM_MODE_AUTOBAUD; }, 1000));
    host->setBaud(115200);
    EXPECT_TRUE(syncAndEchoOff(*host));
    EXPECT_EQ(simStatus(sim).bootloaderEntries, 1u);
}

TEST_F(App, GoIntoFreshFirmwareReportsDspProgressThenReady) {
    SimOptions options;
    options.dspBanks = 2;
    options.dspIntervalMs = 1;
    options.appBootMs = 100;
    startSynced(options);
    SimFlashImage image;
    image.kind = SIM_FLASH_TABLE;
    programStandIn(image);
    EXPECT_EQ(ask("G 436207872 T"), "0\r\n");   // the entry 0x1A000101 without its Thumb bit
    EXPECT_EQ(simStatus(sim).mode, SIM_MODE_APPLICATION);
    host->setBaud(19200);
    std::string expected;
    for (int bank = 1; bank <= 2; ++bank)
        for (int step = 0; step <= 5; ++step)
            expected += "^!100," + std::to_string(bank) + "," + std::to_string(step) + "$";
    EXPECT_EQ(host->readFor(400), expected + "^=P$");
    // Started again, the same firmware is no longer new.
    host->send("^BOOTL$");
    ASSERT_TRUE(simWaitFor(
        sim, [](const SimStatus& s) { return s.mode == SIM_MODE_AUTOBAUD; }, 1000));
    host->setBaud(115200);
    ASSERT_TRUE(syncAndEchoOff(*host));
    EXPECT_EQ(ask("U 23130"), "0\r\n");
    EXPECT_EQ(ask("G 436207872 T"), "0\r\n");
    host->setBaud(19200);
    EXPECT_EQ(host->readFor(300), "");
}

TEST_F(App, QuietFirmwareSaysNothing) {
    SimOptions options;
    options.dspQuiet = true;
    options.appBootMs = 0;
    startSynced(options);
    SimFlashImage image;
    image.kind = SIM_FLASH_TABLE;
    programStandIn(image);
    EXPECT_EQ(ask("G 436207872 T"), "0\r\n");
    host->setBaud(19200);
    EXPECT_EQ(host->readFor(200), "");
    EXPECT_EQ(simStatus(sim).mode, SIM_MODE_APPLICATION);
}

TEST_F(App, GoWithoutAValidTableOrEntryHalts) {
    startSynced();
    EXPECT_EQ(ask("U 23130"), "0\r\n");
    EXPECT_EQ(ask("G 436207872 T"), "0\r\n");   // blank flash
    EXPECT_EQ(simStatus(sim).mode, SIM_MODE_HALTED);
    EXPECT_EQ(host->ask("?", 1, 200), "");
    host->setBaud(19200);
    EXPECT_EQ(host->ask("^P$", 1, 200), "");
    simReset(sim);
    host->setBaud(115200);
    EXPECT_TRUE(syncAndEchoOff(*host));

    simLoadFlash(sim, SimFlashImage{SIM_FLASH_TABLE});
    EXPECT_EQ(ask("U 23130"), "0\r\n");
    EXPECT_EQ(ask("G 436207876 T"), "0\r\n");   // not the table's entry address
    EXPECT_EQ(simStatus(sim).mode, SIM_MODE_HALTED);
}

}   // namespace
