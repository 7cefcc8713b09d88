// Faults that model a damaged link: a W whose address changed on the way, data
// lines changed in ways their checksum cannot see, and bytes damaged on their
// way to the host.
#include "sim_test_support.h"

#include <algorithm>
#include <numeric>

namespace {

using LinkFaults = SimTest;

struct MisdirectCase {
    const char* name;
    std::int32_t by;
};

class Misdirect : public SimTest, public ::testing::WithParamInterface<MisdirectCase> {};

// The named address keeps what it held; the data lands `by` bytes away.
TEST_P(Misdirect, SecondWriteLandsAwayFromItsAddress) {
    SimOptions options;
    options.faults.misdirectWrite = 2;
    options.faults.misdirectBy = GetParam().by;
    startSynced(options);
    const std::vector<std::uint8_t> first = pattern(64, 1), second = pattern(64, 9);
    writeRam(RAM, first);
    writeRam(RAM + 256, second);
    EXPECT_EQ(memory(RAM + 256, 64), std::vector<std::uint8_t>(64, 0));
    EXPECT_EQ(memory(RAM + 256 + static_cast<std::uint32_t>(GetParam().by), 64), second);
    EXPECT_EQ(memory(RAM, 64), first);
}

INSTANTIATE_TEST_SUITE_P(Offsets, Misdirect,
                         ::testing::Values(MisdirectCase{"Forward", 1024}, MisdirectCase{"Back", -128}),
                         [](const auto& info) { return std::string(info.param.name); });

struct UnseenCase {
    const char* name;
    unsigned SimFaults::*fault;
    std::string (*onWire)(std::string line);   // the data line as the ROM hears it
};

class UnseenDamage : public SimTest, public ::testing::WithParamInterface<UnseenCase> {};

// With echo on, the echo and RAM show what the wire delivered, and the
// checksum of what was sent still passes.
TEST_P(UnseenDamage, OneLineGroupPassesItsChecksum) {
    startSynced();
    SimFaults faults;
    faults.*GetParam().fault = 1;
    simSetFaults(sim, faults);
    const std::vector<std::uint8_t> sent = pattern(36, 5);
    const std::string line = simUuEncode(sent.data(), sent.size());
    const std::string heard = GetParam().onWire(line);
    const std::string sum = std::to_string(std::accumulate(sent.begin(), sent.end(), 0u));
    EXPECT_EQ(host->ask("A 1\r\nW 268435456 36\r\n" + line + "\r\n" + sum + "\r\n", 7),
              "0\r\n\nW 268435456 36\r0\r\n\n" + heard + "\r\n" + sum + "\rOK\r\n\n");
    const std::vector<std::uint8_t> stored = memory(RAM, sent.size());
    std::vector<std::uint8_t> decoded(sent.size());
    simUuDecode(heard, decoded.data(), decoded.size());
    EXPECT_EQ(stored, decoded);
    EXPECT_NE(stored, sent);
    EXPECT_EQ(std::accumulate(stored.begin(), stored.end(), 0u), std::accumulate(sent.begin(), sent.end(), 0u));
}

INSTANTIATE_TEST_SUITE_P(Faults, UnseenDamage,
                         ::testing::Values(UnseenCase{"ExchangedGroups", &SimFaults::exchangeGroups,
                                                      [](std::string line) {
                                                          std::swap_ranges(line.begin() + 1, line.begin() + 5,
                                                                           line.begin() + 5);
                                                          return line;
                                                      }},
                                           // Of this line, the 27th character is the first whose loss keeps the sum.
                                           UnseenCase{"LostCharacter", &SimFaults::loseCollision,
                                                      [](std::string line) { return line.erase(26, 1); }}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(LinkFaults, EveryByteToTheHostDamagedAtRateOne) {
    startSynced();
    SimFaults faults;
    faults.corruptToHostRate = 1.0;
    simSetFaults(sim, faults);
    const std::string reply = host->readFor(0) + host->request("J\r\n", 200);
    EXPECT_EQ(reply.size(), std::string("0\r\n2684471344\r\n0\r\n").size());
    EXPECT_EQ(reply.find("2684471344"), std::string::npos);
    EXPECT_EQ(simStatus(sim).commandCounts['J' - 'A'], 1u);   // what the switch heard was intact
}

}   // namespace
