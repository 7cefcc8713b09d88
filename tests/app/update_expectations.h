// Expected transcripts and flash contents of an update.
#pragma once
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "app/transcript.h"
#include "firmware/firmware.h"
#include "image/image.h"
#include "sim.h"

inline const FirmwareImage& imageHeader(int index) {
    return *reinterpret_cast<const FirmwareImage*>(firmwareImages[index]);
}

// The flash holds the image's application from its address and its parameter
// block at the table address.
inline ::testing::AssertionResult flashHoldsImage(SimSwitch* sim, int index) {
    const FirmwareImage& header = imageHeader(index);
    const std::uint8_t* base = firmwareImages[index];
    std::vector<std::uint8_t> flash(header.appLength);
    if (simReadMemory(sim, header.appAddress, flash.data(), flash.size()) != 0)
        return ::testing::AssertionFailure() << "application range unmapped";
    if (std::memcmp(flash.data(), base + header.appOffset, flash.size()) != 0)
        return ::testing::AssertionFailure() << "application differs";
    std::vector<std::uint8_t> table(512);
    if (simReadMemory(sim, header.paramAddress, table.data(), table.size()) != 0)
        return ::testing::AssertionFailure() << "table range unmapped";
    if (std::memcmp(table.data(), base + header.paramOffset, header.paramLength) != 0)
        return ::testing::AssertionFailure() << "parameter block differs";
    for (std::size_t i = header.paramLength; i < table.size(); ++i)
        if (table[i] != 0xFF) return ::testing::AssertionFailure() << "table padding not erased at " << i;
    return ::testing::AssertionSuccess();
}

inline std::string versionLines(const std::string& model, const std::string& current, const std::string& update) {
    const std::size_t width = std::max(current.size(), update.size());
    return "\n Current Version: " + current + "," + std::string(width - current.size() + 1, ' ') + "Model: " + model +
           "\n Update Version:  " + update + "," + std::string(width - update.size() + 1, ' ') + "Model: " + model;
}

inline std::string askNewer(const std::string& model, const std::string& installed) {
    return "\n\nThis update is newer than the firmware inside the " + model + ".\n" +
           versionLines(model, installed, "3.04") + "\n\nContinue with update to newer version? (Y,N) ";
}

inline std::string programmingProgress(int index) {
    const std::uint32_t length = imageHeader(index).appLength;
    std::string text = "\nUpdating firmware:   0% complete.";
    char line[64];
    for (std::uint32_t remaining = length - 512; remaining > 4095;) {
        remaining -= 4096;
        std::snprintf(line, sizeof line, "\rUpdating firmware: %3u%% complete.", (length - remaining) * 100 / length);
        text += line;
    }
    return text + "\rUpdating firmware: 100% complete.\n";
}

inline std::string dspProgress(unsigned banks) {
    std::string text;
    char line[64];
    for (unsigned bank = 1; bank <= banks; ++bank) {
        text += "\n";
        for (int step = 0; step <= 5; ++step) {
            std::snprintf(line, sizeof line, "\rUpdating DSPs: Bank = %u, Complete = %3u%%", bank,
                          (step + 1) * 100 / 6);
            text += line;
        }
    }
    return text;
}

inline std::string foundOn(unsigned port, const std::string& model, const std::string& installed) {
    return START + "\nCOM" + std::to_string(port) + ": An " + model + " was found with firmware version: " + installed +
           "\n";
}
