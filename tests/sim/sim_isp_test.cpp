// The simulated ROM bootloader against its own rules, over a real pty.
#include "sim_test_support.h"

#include <algorithm>
#include <cstring>
#include <utility>

namespace {

using Isp = SimTest;

TEST_F(Isp, HandshakeEchoesAndAnswersOnTheCarriageReturn) {
    start();
    host->send("\x1B^P$");   // anything before "?" is ignored
    EXPECT_EQ(host->ask("?", 1), "Synchronized\r\n");
    EXPECT_EQ(simStatus(sim).switchBaud, 115200u);
    EXPECT_EQ(host->ask("Synchronized\r\n", 2), "Synchronized\rOK\r\n\n");
    EXPECT_EQ(host->ask("12000\r\n", 2), "12000\rOK\r\n\n");
    EXPECT_EQ(simStatus(sim).mode, SIM_MODE_ISP);
    // Echo stays on until "A 0"; the LF after it is no longer echoed.
    EXPECT_EQ(host->ask("J\r\n", 4), "J\r0\r\n2684471344\r\n0\r\n\n");
    EXPECT_EQ(host->ask("A 0\r\n", 1), "A 0\r0\r\n");
    EXPECT_EQ(host->ask("A 1\r\n", 1), "0\r\n");
    EXPECT_EQ(host->ask("A 7\r\n", 2), "\nA 7\r12\r\n");
}

// A host that does not know what listens sends ESC, a ping, "?" and CR; the
// ROM's answer depends on how far it is synchronised.
TEST_F(Isp, ProbeSequenceInEveryRomState) {
    start();
    const char* probe = "\x1B^P$?\r";
    EXPECT_EQ(host->request(probe, 100), "Synchronized\r\n\r");
    EXPECT_EQ(host->ask("Synchronized\r\n", 2), "Synchronized\rOK\r\n\n");
    EXPECT_EQ(host->ask("O\r", 1), "O\rOK\r\n");   // any frequency text is taken
    EXPECT_EQ(host->request(probe, 100), "\x1B^P$?\r1\r\n");
    EXPECT_EQ(host->ask("A 0\r", 1), "A 0\r0\r\n");
    EXPECT_EQ(host->request(probe, 100), "1\r\n");
}

TEST_F(Isp, WrongSynchronizedLineReturnsToAutobaud) {
    start();
    EXPECT_EQ(host->ask("?", 1), "Synchronized\r\n");
    host->ask("Synchronised\r\n", 1, 100);
    EXPECT_EQ(simStatus(sim).mode, SIM_MODE_AUTOBAUD);
    host->setBaud(19200);   // any rate again
    EXPECT_EQ(host->ask("?", 1), "Synchronized\r\n");
    EXPECT_EQ(simStatus(sim).switchBaud, 19200u);
}

TEST_F(Isp, LocksToTheRateOfTheQuestionMark) {
    start({}, 19200);
    ASSERT_TRUE(syncAndEchoOff(*host));
    host->setBaud(115200);
    EXPECT_EQ(host->ask("J\r\n", 1, 200), "");
    EXPECT_GE(simStatus(sim).bytesLost, 3u);
    host->setBaud(19200);
    EXPECT_EQ(host->ask("U 23130\r\n", 1), "0\r\n");
    // "B" answers at the old rate and then moves.
    EXPECT_EQ(host->ask("B 57600 1\r\n", 1), "0\r\n");
    EXPECT_EQ(host->ask("J\r\n", 1, 200), "");
    host->setBaud(57600);
    EXPECT_EQ(host->ask("J\r\n", 3), "0\r\n2684471344\r\n0\r\n");
}

TEST_F(Isp, GarbageAtTheWrongRateInsteadOfSilence) {
    SimOptions options;
    options.garbageAtWrongRate = true;
    start(options);
    ASSERT_TRUE(syncAndEchoOff(*host));
    host->setBaud(19200);
    host->send("J\r\n");
    host->readFor(100);
    host->setBaud(115200);
    EXPECT_EQ(ask("\x1BJ", 3), "0\r\n2684471344\r\n0\r\n");
    int wrongRate = 0;
    for (const SimWireByte& wire : simTraffic(sim)) wrongRate += wire.fromHost && wire.baud == 19200 && !wire.heard;
    EXPECT_EQ(wrongRate, 3);
}

struct CommandCase {
    const char* name;
    std::vector<std::pair<const char*, const char*>> before;   // command and its expected reply
    const char* command;
    const char* reply;
};

const CommandCase COMMAND_CASES[] = {
    {"UnlockWrongCode", {}, "U 1", "16\r\n"},
    {"Unlock", {}, "U 23130", "0\r\n"},
    {"UnknownCommand", {}, "X 1", "1\r\n"},
    {"LowerCaseIsUnknown", {}, "j", "1\r\n"},
    {"MissingArgument", {}, "P 0 0", "12\r\n"},
    {"ExtraArgument", {}, "J 1", "12\r\n"},
    {"NonNumericArgument", {}, "P 0 x 0", "12\r\n"},
    {"BadBaudRate", {}, "B 1234 1", "17\r\n"},
    {"BadStopBit", {}, "B 9600 3", "18\r\n"},
    {"PrepareReversed", {}, "P 5 3 0", "7\r\n"},
    {"PrepareBeyondBank", {}, "P 0 15 0", "7\r\n"},
    {"PrepareNoSuchBank", {}, "P 0 0 2", "20\r\n"},
    {"EraseLocked", {}, "E 0 0 0", "15\r\n"},
    {"EraseUnprepared", {{"U 23130", "0\r\n"}}, "E 0 0 0", "9\r\n"},
    {"EraseWiderThanPrepared", {{"U 23130", "0\r\n"}, {"P 0 0 0", "0\r\n"}}, "E 0 1 0", "9\r\n"},
    {"ErasePrepared", {{"U 23130", "0\r\n"}, {"P 0 1 0", "0\r\n"}}, "E 0 1 0", "0\r\n"},
    {"PrepareOtherBankDoesNotCount", {{"U 23130", "0\r\n"}, {"P 0 1 1", "0\r\n"}}, "E 0 1 0", "9\r\n"},
    {"EraseConsumesPrepare", {{"U 23130", "0\r\n"}, {"P 0 0 0", "0\r\n"}, {"E 0 0 0", "0\r\n"}}, "E 0 0 0", "9\r\n"},
    {"FailedEraseKeepsPrepare", {{"U 23130", "0\r\n"}, {"P 0 0 0", "0\r\n"}, {"E 0 1 0", "9\r\n"}}, "E 0 0 0", "0\r\n"},
    {"WriteMisaligned", {}, "W 268435457 4", "13\r\n"},
    {"WriteCount", {}, "W 268435456 3", "6\r\n"},
    {"WriteToFlash", {}, "W 436207616 4", "14\r\n"},
    {"WritePastRam", {}, "W 268468220 8", "14\r\n"},
    {"WriteSecondRamBlock", {}, "W 268959744 0", "0\r\n"},
    {"ReadUnmapped", {}, "R 0 4", "14\r\n"},
    {"ReadCount", {}, "R 436207616 5", "6\r\n"},
    {"CopyLocked", {}, "C 436207616 268435456 512", "15\r\n"},
    {"CopyCount", {{"U 23130", "0\r\n"}}, "C 436207616 268435456 256", "6\r\n"},
    {"CopyFlashMisaligned", {{"U 23130", "0\r\n"}}, "C 436207872 268435456 512", "3\r\n"},
    {"CopyRamMisaligned", {{"U 23130", "0\r\n"}}, "C 436207616 268435458 512", "2\r\n"},
    {"CopyFlashUnmapped", {{"U 23130", "0\r\n"}}, "C 436731904 268435456 512", "5\r\n"},
    {"CopyRamUnmapped", {{"U 23130", "0\r\n"}}, "C 436207616 268468224 4096", "4\r\n"},
    {"CopyUnprepared", {{"U 23130", "0\r\n"}}, "C 436207616 268435456 512", "9\r\n"},
    {"CopySpansUnpreparedSector", {{"U 23130", "0\r\n"}, {"P 0 0 0", "0\r\n"}}, "C 436215296 268435456 1024", "9\r\n"},
    {"CopyPrepared", {{"U 23130", "0\r\n"}, {"P 0 0 0", "0\r\n"}}, "C 436207616 268435456 4096", "0\r\n"},
    {"CopyConsumesPrepare",
     {{"U 23130", "0\r\n"}, {"P 0 0 0", "0\r\n"}, {"C 436207616 268435456 512", "0\r\n"}},
     "C 436208128 268435456 512",
     "9\r\n"},
    {"BlankCheckBlank", {}, "I 0 14 0", "0\r\n"},
    {"BlankCheckBadSector", {}, "I 0 15 0", "7\r\n"},
    {"BlankCheckAfterCopy",
     {{"U 23130", "0\r\n"}, {"P 1 1 0", "0\r\n"}, {"C 436215808 268435456 512", "0\r\n"}},
     "I 0 2 0",
     "8\r\n8192\r\n0\r\n"},
    {"CompareMisaligned", {}, "M 436207617 268435456 4", "13\r\n"},
    {"CompareCount", {}, "M 436207616 268435456 6", "6\r\n"},
    {"CompareUnmapped", {}, "M 436207616 4 4", "14\r\n"},
    {"CompareDiffers", {}, "M 436207616 268435456 8", "10\r\n0\r\n"},
    {"CompareEqual", {}, "M 268435456 268443648 64", "0\r\n"},
    {"GoLocked", {}, "G 436207616 T", "15\r\n"},
    {"GoArmMode", {{"U 23130", "0\r\n"}}, "G 436207616 A", "12\r\n"},
    {"GoMisaligned", {{"U 23130", "0\r\n"}}, "G 436207618 T", "13\r\n"},
    {"GoUnmapped", {{"U 23130", "0\r\n"}}, "G 8 T", "14\r\n"},
    {"BootBank", {}, "S 1", "0\r\n"},
    {"BootBankNone", {}, "S 2", "20\r\n"},
};

class IspCommand : public SimTest, public ::testing::WithParamInterface<CommandCase> {};

TEST_P(IspCommand, AnswersAsTheRomDoes) {
    startSynced();
    const CommandCase& c = GetParam();
    for (const auto& [command, reply] : c.before) ASSERT_EQ(ask(command), reply) << command;
    const int lines = static_cast<int>(std::count(c.reply, c.reply + std::strlen(c.reply), '\n'));
    EXPECT_EQ(ask(c.command, lines), c.reply);
}

INSTANTIATE_TEST_SUITE_P(Rules, IspCommand, ::testing::ValuesIn(COMMAND_CASES),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(Isp, WriteTakesGroupsAndResendsOnABadChecksum) {
    startSynced();
    const std::vector<std::uint8_t> data = pattern(1024, 5);
    writeRam(RAM, data);
    EXPECT_EQ(memory(RAM, data.size()), data);

    // A wrong checksum asks for the group again; the lines sent again replace it.
    ASSERT_EQ(ask("W 268435456 8"), "0\r\n");
    const std::uint8_t wrong[8] = {1, 1, 1, 1, 1, 1, 1, 1};
    host->send(simUuEncode(wrong, 8) + "\r\n");
    EXPECT_EQ(ask("9"), "RESEND\r\n");
    EXPECT_EQ(memory(RAM, 8), std::vector<std::uint8_t>(8, 1));   // RAM holds what arrived
    const std::uint8_t right[8] = {2, 2, 2, 2, 2, 2, 2, 2};
    host->send(simUuEncode(right, 8) + "\r\n");
    EXPECT_EQ(ask("16"), "OK\r\n");
    EXPECT_EQ(memory(RAM, 8), std::vector<std::uint8_t>(8, 2));
    EXPECT_EQ(simStatus(sim).resends, 1u);
    EXPECT_EQ(ask("J", 3), "0\r\n2684471344\r\n0\r\n");   // back to commands
}

TEST_F(Isp, EscapeAbortsATransfer) {
    startSynced();
    ASSERT_EQ(ask("W 268435456 900"), "0\r\n");
    host->send(std::string(10, 'M') + "\x1B");
    EXPECT_EQ(ask("J", 3), "0\r\n2684471344\r\n0\r\n");
}

TEST_F(Isp, ReadSendsGroupsWithChecksumsAndResends) {
    SimOptions options;
    options.flash.kind = SIM_FLASH_TABLE;
    options.startInBootloader = true;
    startSynced(options);
    const std::vector<std::uint8_t> flash = memory(FLASH_A, 1000);
    const std::string reply = ask("R 436207616 1000", 22);
    std::uint32_t sum = 0;
    std::string expected = "0\r\n";
    for (int line = 0; line < 20; ++line) {
        expected += simUuEncode(flash.data() + 45 * line, 45) + "\r\n";
        for (int i = 0; i < 45; ++i) sum += flash[45 * line + i];
    }
    EXPECT_EQ(reply, expected + std::to_string(sum) + "\r\n");
    // RESEND repeats the group; OK moves to the last, shorter one.
    EXPECT_EQ(ask("RESEND", 21), expected.substr(3) + std::to_string(sum) + "\r\n");
    std::uint32_t tailSum = 0;
    for (int i = 900; i < 1000; ++i) tailSum += flash[i];
    const std::string tail = simUuEncode(flash.data() + 900, 45) + "\r\n" + simUuEncode(flash.data() + 945, 45) +
                             "\r\n" + simUuEncode(flash.data() + 990, 10) + "\r\n" + std::to_string(tailSum) + "\r\n";
    EXPECT_EQ(ask("OK", 4), tail);
    ask("OK", 0);
    EXPECT_EQ(ask("J", 3), "0\r\n2684471344\r\n0\r\n");
}

TEST_F(Isp, CopyOntoUnerasedFlashAnds) {
    startSynced();
    ASSERT_EQ(ask("U 23130"), "0\r\n");
    writeRam(RAM, std::vector<std::uint8_t>(512, 0x0F));
    ASSERT_EQ(ask("P 0 0 0"), "0\r\n");
    ASSERT_EQ(ask("C 436207616 268435456 512"), "0\r\n");
    writeRam(RAM, std::vector<std::uint8_t>(512, 0x3C));
    ASSERT_EQ(ask("P 0 0 0"), "0\r\n");
    ASSERT_EQ(ask("C 436207616 268435456 512"), "0\r\n");
    EXPECT_EQ(memory(FLASH_A, 512), std::vector<std::uint8_t>(512, 0x0C));
    EXPECT_EQ(ask("M 436207616 268435456 512", 2), "10\r\n0\r\n");
    EXPECT_EQ(simStatus(sim).flashChanges, 2u);
}

TEST_F(Isp, SmallerBanksFollowTheFlashConfiguration) {
    SimOptions options;
    options.flashConfig = 0x44;
    startSynced(options);
    EXPECT_EQ(ask("J", 3), "0\r\n2684471344\r\n68\r\n");
    EXPECT_EQ(ask("P 0 10 1"), "0\r\n");
    EXPECT_EQ(ask("P 0 11 0"), "7\r\n");
    EXPECT_EQ(ask("U 23130"), "0\r\n");
    EXPECT_EQ(ask("C 436469760 268435456 512"), "5\r\n");   // 0x1A040000, past a 256 KB bank
    EXPECT_EQ(simTableAddress(0x44), 0x1A03FE00u);
    EXPECT_EQ(simTableAddress(0x00), 0x1A07FE00u);
}

TEST_F(Isp, PartIdentificationForms) {
    SimOptions options;
    options.partIdReply = SIM_PART_ID_NO_CONFIG;
    startSynced(options);
    EXPECT_EQ(host->ask("J\r\n", 3, 200), "0\r\n2684471344\r\n");
    simStop(sim);
    host.reset();
    options.partIdReply = SIM_PART_ID_SILENT;
    startSynced(options);
    EXPECT_EQ(host->ask("J\r\n", 1, 200), "");
}

}   // namespace
