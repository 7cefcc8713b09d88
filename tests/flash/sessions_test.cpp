// Two switches programmed at the same time, one session each: nothing of one
// pass may reach the other. CI runs this under ThreadSanitizer too.
#include <gtest/gtest.h>

#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include <unistd.h>

#include "firmware/firmware.h"
#include "flash/programming.h"
#include "sim.h"

namespace {

struct Programmed {
    SwitchLink link;
    FlashPass pass;
    ImageCursor image{};
    char text[4096]{};
    TextBuffer buffer{};
    OutputSink sink{};
    int result = -1;
};

SimOptions switchFor(const FirmwareImage& header, const std::string& path) {
    SimOptions options;
    options.flash.kind = SIM_FLASH_TABLE;
    options.flash.productId = static_cast<std::uint8_t>(header.productId);
    options.flash.pcbRevision = static_cast<std::uint8_t>(header.pcbRevision);
    options.flash.version = 0x03030000;
    options.flash.modelName = "before";
    if (header.paramAddress < 0x1A07FE00) options.flashConfig = 0x44;   // the 256 KB part keeps its table lower
    options.linkPath = path;
    return options;
}

TEST(Sessions, TwoSwitchesProgrammedAtOnceEachGetTheirImage) {
    char pattern[] = "/tmp/bmfwu-sessions-XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    const std::string dir = pattern;
    setenv("BMFWU_PORT_DIR", dir.c_str(), 1);
    std::vector<SimSwitch*> sims;
    std::vector<Programmed> runs(FIRMWARE_IMAGE_COUNT);
    for (int index = 0; index < FIRMWARE_IMAGE_COUNT; ++index) {
        Programmed& run = runs[static_cast<std::size_t>(index)];
        run.image.base = firmwareImages[index];
        ASSERT_EQ(validateImage("Firmware", &run.image), IMAGE_INTACT);
        std::string error;
        sims.push_back(simStart(switchFor(*run.image.header, dir + "/COM" + std::to_string(index + 1)), &error));
        ASSERT_NE(sims.back(), nullptr) << error;
        textBufferInit(&run.buffer, run.text, sizeof run.text);
        run.sink.buffer = &run.buffer;
        run.link.out = &run.sink;
        run.pass.link = &run.link;
        ASSERT_EQ(comOpen(&run.link.port, static_cast<unsigned>(index + 1), APPLICATION_BAUD), 1);
    }
    std::vector<std::thread> passes;
    for (Programmed& run : runs) passes.emplace_back([&run] { run.result = updateFirmware(run.pass, &run.image); });
    for (std::thread& pass : passes) pass.join();
    for (std::size_t index = 0; index < runs.size(); ++index) {
        Programmed& run = runs[index];
        const FirmwareImage& header = *run.image.header;
        EXPECT_EQ(run.result, UPDATE_DONE) << run.text;
        EXPECT_NE(std::string(run.text).find("\rUpdating firmware: 100% complete.\n"), std::string::npos) << run.text;
        std::vector<std::uint8_t> flash(header.appLength);
        ASSERT_EQ(simReadMemory(sims[index], header.appAddress, flash.data(), flash.size()), 0);
        EXPECT_TRUE(std::equal(flash.begin(), flash.end(), run.image.application)) << "image " << index + 1;
        comClose(&run.link.port);
        simStop(sims[index]);
    }
    rmdir(dir.c_str());
}

}   // namespace
