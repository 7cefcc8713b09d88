// Faults, the state file, the port's life and the traffic log.
#include "sim_test_support.h"

#include <unistd.h>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <sstream>

namespace {

using Faults = SimTest;
using Wire = SimTest;

std::string temporaryPath(const char* name) {
    return testing::TempDir() + "sim_" + std::to_string(getpid()) + "_" + name;
}

TEST_F(Faults, SilentAtTheKthWriteUntilReset) {
    SimOptions options;
    options.faults.silentAtWrite = 2;
    startSynced(options);
    writeRam(RAM, pattern(8, 1));
    EXPECT_EQ(host->ask("W 268435456 8\r\n", 1, 200), "");
    EXPECT_TRUE(simStatus(sim).silent);
    EXPECT_EQ(host->ask("J\r\n", 1, 100), "");
    simReset(sim);
    EXPECT_TRUE(syncAndEchoOff(*host));
    writeRam(RAM, pattern(8, 1));   // the fault fired once
}

TEST_F(Faults, RefusedWriteAndFailedCompare) {
    SimOptions options;
    options.faults.refuseWrite = 1;
    options.faults.refuseWriteCode = 4;
    options.faults.failCompare = 2;
    startSynced(options);
    EXPECT_EQ(ask("W 268435456 8"), "4\r\n");
    EXPECT_EQ(ask("M 268435456 268443648 64"), "0\r\n");
    EXPECT_EQ(ask("M 268435456 268443648 64", 2), "10\r\n0\r\n");
    EXPECT_EQ(ask("M 268435456 268443648 64"), "0\r\n");
}

TEST_F(Faults, DamagedDataLineIsResent) {
    SimOptions options;
    options.faults.corruptDataLine = 2;
    startSynced(options);
    const std::vector<std::uint8_t> data = pattern(88, 7);
    std::uint32_t sum = 0;
    for (std::uint8_t b : data) sum += b;
    const std::string lines = simUuEncode(data.data(), 45) + "\r\n" + simUuEncode(data.data() + 45, 43) + "\r\n";
    ASSERT_EQ(ask("W 268435456 88"), "0\r\n");
    host->send(lines);
    EXPECT_EQ(ask(std::to_string(sum)), "RESEND\r\n");
    EXPECT_NE(memory(RAM, 88), data);
    host->send(lines);
    EXPECT_EQ(ask(std::to_string(sum)), "OK\r\n");
    EXPECT_EQ(memory(RAM, 88), data);
}

TEST_F(Faults, SilenceAfterBytesAndOnDemand) {
    startSynced();
    SimFaults faults;
    faults.silentAfterBytes = 4;
    simSetFaults(sim, faults);
    EXPECT_EQ(ask("J", 3), "0\r\n2684471344\r\n0\r\n");
    EXPECT_EQ(host->ask("J\r\n", 1, 200), "");   // its first byte was the fourth heard
    simSetSilent(sim, false);
    EXPECT_EQ(ask("\x1BJ", 3), "0\r\n2684471344\r\n0\r\n");
    simSetSilent(sim, true);
    EXPECT_EQ(host->ask("J\r\n", 1, 200), "");
}

TEST_F(Faults, RandomCorruptionUntilCleared) {
    startSynced();
    SimFaults faults;
    faults.corruptRate = 1.0;
    simSetFaults(sim, faults);
    EXPECT_NE(host->request("J\r\n", 100), "0\r\n2684471344\r\n0\r\n");
    simSetFaults(sim, SimFaults{});
    EXPECT_EQ(ask("\x1BJ", 3), "0\r\n2684471344\r\n0\r\n");
}

TEST_F(Wire, StateFileKeepsTheFlashAcrossRestarts) {
    const std::string state = temporaryPath("state.bin");
    std::remove(state.c_str());
    SimOptions options;
    options.statePath = state;
    options.flash.kind = SIM_FLASH_TABLE;
    options.startInBootloader = true;
    startSynced(options);
    EXPECT_EQ(access(state.c_str(), F_OK), 0) << "made at start";
    const std::vector<std::uint8_t> application = memory(FLASH_A, 512);
    ASSERT_EQ(ask("U 23130"), "0\r\n");
    ASSERT_EQ(ask("P 14 14 0"), "0\r\n");
    ASSERT_EQ(ask("E 14 14 0"), "0\r\n");
    host.reset();
    simStop(sim);

    options.startInBootloader = false;   // the file wins over the starting flash
    start(options);
    EXPECT_EQ(simStatus(sim).mode, SIM_MODE_AUTOBAUD) << "the erased table must not start";
    EXPECT_EQ(memory(FLASH_A, 512), application);
    EXPECT_EQ(memory(simTableAddress(0), 512), std::vector<std::uint8_t>(512, 0xFF));
    host.reset();
    simStop(sim);
    sim = nullptr;

    std::ofstream(state) << "not a state file";
    std::string reason;
    EXPECT_EQ(simStart(options, &reason), nullptr);
    EXPECT_NE(reason.find(state), std::string::npos);
    std::remove(state.c_str());
}

TEST_F(Wire, ReopenedPortHoldsNothingStale) {
    SimOptions options;
    options.flash.kind = SIM_FLASH_TABLE;
    start(options, 19200);
    host->send("^P$");
    ASSERT_TRUE(simWaitFor(
        sim, [](const SimStatus& s) { return s.bytesToHost >= 6; }, 1000));
    host.reset();   // leaves the reply unread
    ASSERT_TRUE(simWaitFor(
        sim, [](const SimStatus& s) { return !s.hostOpen; }, 1000));
    host = std::make_unique<TestHost>(simSlavePath(sim), 19200);
    EXPECT_EQ(host->readFor(100), "");
    EXPECT_EQ(host->request("^P$", 100), "^=P00$");
    EXPECT_EQ(simStatus(sim).hostOpens, 2u);
}

// In lockstep each answer is due just after the last tick delivered the one
// before it, so it waits a whole period; without the timer the turns take ~1 ms.
TEST_F(Wire, LatencyHoldsEachAnswerUntilTheAdaptersTimerTicks) {
    SimOptions options;
    options.latencyMs = 100;
    startSynced(options);
    ASSERT_EQ(ask("A 0"), "0\r\n");
    const auto start = std::chrono::steady_clock::now();
    for (int turn = 0; turn < 4; ++turn) ASSERT_EQ(ask("A 0"), "0\r\n");
    EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(350));
}

TEST_F(Wire, ThrottledTransferStaysIntactAndCountsFlashTime) {
    SimOptions options;
    options.throttle = true;
    options.eraseMs = 30;
    options.copyMs = 2;
    startSynced(options);
    const std::vector<std::uint8_t> data = pattern(1024, 3);
    writeRam(RAM, data);
    EXPECT_EQ(memory(RAM, 1024), data);
    ASSERT_EQ(ask("U 23130"), "0\r\n");
    ASSERT_EQ(ask("P 0 0 0"), "0\r\n");
    ASSERT_EQ(ask("E 0 0 0"), "0\r\n");
    ASSERT_EQ(ask("P 0 0 0"), "0\r\n");
    ASSERT_EQ(ask("C 436207616 268435456 1024"), "0\r\n");
    EXPECT_EQ(simStatus(sim).flashBusyUs, 30000u + 4000u);
    EXPECT_EQ(memory(FLASH_A, 1024), data);
}

TEST_F(Wire, CaptureAndLogShowEveryByteWithItsRate) {
    const std::string logPath = temporaryPath("traffic.log");
    SimOptions options;
    options.logPath = logPath;
    startSynced(options);
    const std::vector<std::uint8_t> received = simReceived(sim);
    EXPECT_EQ(std::string(received.begin(), received.end()), "?Synchronized\r\n12000\r\nA 0\r\n");
    host->setBaud(19200);
    host->send("J\r\n");
    ASSERT_TRUE(simWaitFor(
        sim, [](const SimStatus& s) { return s.bytesLost >= 3; }, 1000));
    host.reset();
    simStop(sim);
    sim = nullptr;
    std::stringstream log;
    log << std::ifstream(logPath).rdbuf();
    EXPECT_NE(log.str().find("host>sim 115200 \"Synchronized\\r\\n\""), std::string::npos) << log.str();
    EXPECT_NE(log.str().find("sim>host 115200 \"Synchronized\\r\\n\""), std::string::npos);
    EXPECT_NE(log.str().find("host>sim  19200 LOST \"J\\r\\n\""), std::string::npos);
    std::remove(logPath.c_str());
}

}   // namespace
