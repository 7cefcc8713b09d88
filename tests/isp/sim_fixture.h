// A simulated switch on a pseudo-terminal, reached as COM7 through
// BMFWU_PORT_DIR, with the port open at 19200 baud as the port scan leaves it.
#pragma once
#include <gtest/gtest.h>

#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include <unistd.h>

#include "flash/programming.h"
#include "isp/link.h"
#include "link/serial.h"
#include "sim.h"

class SimTest : public ::testing::Test {
  protected:
    static constexpr unsigned PORT = 7;
    SimSwitch* sim = nullptr;
    std::string dir;
    SwitchLink link;
    FlashPass pass;

    void start(SimOptions options) {
        char pattern[] = "/tmp/bmfwu-isp-XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        dir = pattern;
        options.linkPath = dir + "/COM" + std::to_string(PORT);
        std::string error;
        sim = simStart(options, &error);
        ASSERT_NE(sim, nullptr) << error;
        setenv("BMFWU_PORT_DIR", dir.c_str(), 1);
        pass.link = &link;
        ASSERT_EQ(comOpen(&link.port, PORT, 19200), 1);
    }

    void TearDown() override {
        comClose(&link.port);
        simStop(sim);
        sim = nullptr;
        if (!dir.empty()) rmdir(dir.c_str());
        dir.clear();
    }

    std::string received() {
        std::vector<std::uint8_t> bytes = simReceived(sim);
        return std::string(bytes.begin(), bytes.end());
    }

    std::vector<std::uint8_t> memory(std::uint32_t address, std::size_t count) {
        std::vector<std::uint8_t> out(count);
        EXPECT_EQ(simReadMemory(sim, address, out.data(), count), 0);
        return out;
    }
};

// CRC-32 (IEEE), bit by bit: an implementation independent of the program's.
inline std::uint32_t referenceCrc32(const std::uint8_t* bytes, std::size_t count) {
    std::uint32_t crc = 0xFFFFFFFFu;
    for (std::size_t i = 0; i < count; ++i) {
        crc ^= bytes[i];
        for (int bit = 0; bit < 8; ++bit) crc = (crc >> 1) ^ (0xEDB88320u & (0u - (crc & 1u)));
    }
    return ~crc;
}

inline void putWord(std::uint8_t* at, std::uint32_t value) {
    for (int i = 0; i < 4; ++i) at[i] = static_cast<std::uint8_t>(value >> (8 * i));
}
