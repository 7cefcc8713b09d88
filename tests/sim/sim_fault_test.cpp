// Faults that model a damaged link: a W whose address changed on the way, and
// bytes damaged on their way to the host.
#include "sim_test_support.h"

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
