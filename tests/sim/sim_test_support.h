// A switch on a pty with a host attached, for the simulator's own tests.
#pragma once
#include "host.h"
#include "sim.h"
#include "sim_internal.h"

#include <gtest/gtest.h>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

class SimTest : public ::testing::Test {
  protected:
    void start(const SimOptions& options = {}, unsigned baud = 115200) {
        sim = simStart(options, &error);
        ASSERT_NE(sim, nullptr) << error;
        host = std::make_unique<TestHost>(simSlavePath(sim), baud);
        ASSERT_TRUE(host->isOpen());
    }

    void startSynced(const SimOptions& options = {}) {
        start(options);
        ASSERT_TRUE(syncAndEchoOff(*host));
    }

    void TearDown() override {
        host.reset();
        simStop(sim);
    }

    std::string ask(const std::string& command, int lines = 1) { return host->ask(command + "\r\n", lines); }

    // Moves `data` into RAM with "W": groups of 20 UU lines, each acknowledged.
    void writeRam(std::uint32_t address, const std::vector<std::uint8_t>& data) {
        ASSERT_EQ(ask("W " + std::to_string(address) + " " + std::to_string(data.size())), "0\r\n");
        std::size_t at = 0;
        while (at < data.size()) {
            std::uint32_t sum = 0;
            for (int line = 0; line < 20 && at < data.size(); ++line) {
                const std::size_t n = std::min<std::size_t>(45, data.size() - at);
                for (std::size_t i = 0; i < n; ++i) sum += data[at + i];
                host->send(simUuEncode(data.data() + at, n) + "\r\n");
                at += n;
            }
            ASSERT_EQ(ask(std::to_string(sum)), "OK\r\n");
        }
    }

    // Erases bank A and programs the stand-in application and its table
    // through the ROM, as a client would.
    void programStandIn(const SimFlashImage& image) {
        std::uint8_t application[512], table[512];
        simBuildApplication(image, application);
        simBuildTable(image, application, table);
        ASSERT_EQ(ask("U 23130"), "0\r\n");
        ASSERT_EQ(ask("P 0 14 0"), "0\r\n");
        ASSERT_EQ(ask("E 0 14 0"), "0\r\n");
        const struct {
            std::uint32_t address;
            const std::uint8_t* bytes;
            const char* sector;
        } blocks[] = {{simTableAddress(0), table, "14"}, {0x1A000000, application, "0"}};
        for (const auto& block : blocks) {
            writeRam(0x10000000, std::vector<std::uint8_t>(block.bytes, block.bytes + 512));
            ASSERT_EQ(ask(std::string("P ") + block.sector + " " + block.sector + " 0"), "0\r\n");
            ASSERT_EQ(ask("C " + std::to_string(block.address) + " 268435456 512"), "0\r\n");
        }
    }

    std::vector<std::uint8_t> memory(std::uint32_t address, std::size_t count) {
        std::vector<std::uint8_t> bytes(count);
        EXPECT_EQ(simReadMemory(sim, address, bytes.data(), count), 0);
        return bytes;
    }

    SimSwitch* sim = nullptr;
    std::unique_ptr<TestHost> host;
    std::string error;
};

inline std::vector<std::uint8_t> pattern(std::size_t count, std::uint8_t seed) {
    std::vector<std::uint8_t> bytes(count);
    for (std::size_t i = 0; i < count; ++i) bytes[i] = static_cast<std::uint8_t>(seed + i * 13 + (i >> 8));
    return bytes;
}

constexpr std::uint32_t RAM = 0x10000000;       // 268435456
constexpr std::uint32_t FLASH_A = 0x1A000000;   // 436207616
