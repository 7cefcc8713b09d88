// Switches left by a cut-off update in a state the bootloader alone cannot
// describe, and RAM writes that land somewhere other than where they were sent.
#include <gtest/gtest.h>

#include "app/matrix_support.h"
#include "app/program_run.h"
#include "app/switch_fixture.h"
#include "app/transcript.h"
#include "app/update_expectations.h"

namespace {

// A bootloader-only switch whose flash holds `image`'s application from byte
// `from` up to `upTo` bytes before its end, and nothing else: no table.
SwitchHandle switchWithApplicationPart(const TempDir& ports, int image, std::uint32_t from, std::uint32_t upTo) {
    SimOptions options;
    options.flash.kind = SIM_FLASH_BLANK;
    options.flashConfig = image == 0 ? 0x00 : 0x44;
    SwitchHandle sim = startSwitch(options, ports, 3);
    const FirmwareImage& header = imageHeader(image);
    const std::uint8_t* application = firmwareImages[image] + header.appOffset;
    simWriteMemory(sim.get(), header.appAddress + from, application + from, header.appLength - from - upTo);
    return sim;
}

struct TablelessCase {
    const char* name;
    int image;
    std::string model;
};

class TablelessSwitch : public testing::TestWithParam<TablelessCase> {};

// What an update cut off between the erase of the table's sector and its
// rewrite leaves: everything of the application but its first block.
TEST_P(TablelessSwitch, IsIdentifiedFromItsFlashAndUpdatedAfterAsking) {
    TempDir ports;
    const TablelessCase& c = GetParam();
    SwitchHandle sim = switchWithApplicationPart(ports, c.image, 512, 0);
    const ProgramRun run = runProgram({"3"}, ports.path(), {{"(Y,N) ", "y"}});
    EXPECT_EQ(run.output, foundOn(3, c.model, "None") + askNewer(c.model, "None") + "Y\n" +
                              programmingProgress(c.image) + dspProgress(2) + KEY_WAIT);
    EXPECT_TRUE(flashHoldsImage(sim.get(), c.image));
}

INSTANTIATE_TEST_SUITE_P(Images, TablelessSwitch,
                         testing::Values(TablelessCase{"ImageOne", 0, "Sonavex F"},
                                         TablelessCase{"ImageTwo", 1, "Sonavex F-II"}),
                         [](const testing::TestParamInfo<TablelessCase>& info) {
                             return std::string(info.param.name);
                         });

// Without the application's last block nothing proves which image was being
// written: the switch is not offered an update.
TEST(TablelessSwitch, WithoutTheLastApplicationBlockIsNotIdentified) {
    TempDir ports;
    SwitchHandle sim = switchWithApplicationPart(ports, 0, 512, 1024);
    const ProgramRun run = runProgram({"3"}, ports.path(), {});
    EXPECT_EQ(run.output, START + "\nCOM3: A Brenmoor device was found, but it does not match this firmware.\n" +
                              "\nThe switch on COM3 is in its bootloader without firmware information and cannot be "
                              "identified.\n" +
                              KEY_WAIT);
    EXPECT_EQ(simStatus(sim.get()).flashChanges, 0u);
}

struct CutOrder {
    const char* name;
    bool firstBlockWritten;
    SimMode afterPowerOn;
};

class PassCutMidApplication : public testing::TestWithParam<CutOrder> {};

// A pass cut half-way through the application, over old firmware whose table
// is still in place. Had the first block gone out first, the chip's ROM would
// start a half-written application that never answers; held back, the
// bootloader stays reachable and a re-run finishes.
TEST_P(PassCutMidApplication, IsRecoverableOnlyWithTheFirstBlockHeldBack) {
    TempDir ports;
    SwitchHandle sim = startSwitch(imageOneSwitch(), ports, 3);
    const FirmwareImage& header = imageHeader(0);
    const std::uint8_t* application = firmwareImages[0] + header.appOffset;
    const std::vector<std::uint8_t> erased(header.appLength, 0xFF);
    const std::uint32_t from = GetParam().firstBlockWritten ? 0 : 512;
    simWriteMemory(sim.get(), header.appAddress, erased.data(), erased.size());
    simWriteMemory(sim.get(), header.appAddress + from, application + from, header.appLength / 2 - from);
    simReset(sim.get());
    EXPECT_EQ(simStatus(sim.get()).mode, GetParam().afterPowerOn);
    if (GetParam().firstBlockWritten) {
        const ProgramRun run = runProgram({"3"}, ports.path(), {});
        EXPECT_EQ(run.output,
                  START + "\nCOM3: No Brenmoor devices detected.\n\nNo Brenmoor device found on COM3.\n" + KEY_WAIT);
        EXPECT_EQ(simStatus(sim.get()).flashChanges, 0u);
    } else {
        const ProgramRun run = runProgram({"3"}, ports.path(), {{"(Y,N) ", "y"}});
        EXPECT_TRUE(reportedSuccess(run.output));
        EXPECT_TRUE(flashHoldsImage(sim.get(), 0));
    }
}

INSTANTIATE_TEST_SUITE_P(Orders, PassCutMidApplication,
                         testing::Values(CutOrder{"FirstBlockFirst", true, SIM_MODE_HALTED},
                                         CutOrder{"FirstBlockLast", false, SIM_MODE_AUTOBAUD}),
                         [](const testing::TestParamInfo<CutOrder>& info) { return std::string(info.param.name); });

struct Misdirect {
    const char* name;
    std::int32_t by;
};

class MisdirectedWrite : public testing::TestWithParam<Misdirect> {};

// The first block of a pass is staged by two boundary-word writes and then
// one "W" for the whole block. The block must fail, not be copied from stale
// RAM and pass its compare, and then go again. (Moved down from the buffer at
// the start of RAM, the write is refused as unmapped.)
TEST_P(MisdirectedWrite, FailsTheBlockInsteadOfProgrammingStaleRam) {
    TempDir ports;
    SimOptions options = imageOneSwitch();
    options.faults.misdirectWrite = 3;
    options.faults.misdirectBy = GetParam().by;
    SwitchHandle sim = startSwitch(options, ports, 3);
    const ProgramRun run = runProgram({"3"}, ports.path(), {{"(Y,N) ", "y"}});
    EXPECT_EQ(run.output, foundOn(3, "Sonavex F", "3.03") + askNewer("Sonavex F", "3.03") + "Y\n" +
                              programmingProgress(0) + dspProgress(2) + KEY_WAIT);
    EXPECT_TRUE(flashHoldsImage(sim.get(), 0));
    EXPECT_EQ(simStatus(sim.get()).commandCounts['E' - 'A'], 2u);   // nothing had reached flash
}

INSTANTIATE_TEST_SUITE_P(Offsets, MisdirectedWrite,
                         testing::Values(Misdirect{"FortyBytesOn", 40}, Misdirect{"OneGroupBack", -900},
                                         Misdirect{"FourBytesBack", -4}, Misdirect{"ElsewhereInRam", 8192}),
                         [](const testing::TestParamInfo<Misdirect>& info) { return std::string(info.param.name); });

}   // namespace
