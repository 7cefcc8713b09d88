// The switch's own application: the "^...$" request protocol at 19200 baud,
// its version reply built from the parameter table, the way back into the ROM
// bootloader, and the DSP update it runs after new firmware was installed.
#include "sim_internal.h"

#include <cstdio>

namespace {

constexpr std::size_t MAX_FRAME = 64;
constexpr unsigned DSP_STEPS = 6;

void scheduleDspUpdate(SimDevice& device) {
    const SimOptions& options = device.options;
    std::uint64_t due = device.nowUs + std::uint64_t{options.appBootMs} * 1000;
    for (unsigned bank = 1; bank <= options.dspBanks; ++bank) {
        for (unsigned step = 0; step < DSP_STEPS; ++step) {
            char text[40];
            std::snprintf(text, sizeof text, "^!100,%u,%u$", bank, step);
            device.events.push_back({due, text});
            due += std::uint64_t{options.dspIntervalMs} * 1000;
        }
    }
    device.events.push_back({due, "^=P$"});
}

void answerRequest(SimDevice& device, const std::string& request) {
    if (request == "^P$") {
        simEmit(device, device.options.pingReply);
    } else if (request == "^V$") {
        for (unsigned i = 0; i < device.options.keepAliveLines; ++i) simEmit(device, "^+$");
        simEmit(device, device.options.versionReply.empty() ? simVersionReply(device) : device.options.versionReply);
    } else if (request == "^BOOTL$") {
        simIspEnter(device);
    }
}

}   // namespace

void simAppStart(SimDevice& device) {
    device.mode = SIM_MODE_APPLICATION;
    device.baud = SIM_APP_BAUD;
    device.inFrame = false;
    device.frame.clear();
    device.events.clear();
    ++device.status.appStarts;
    if (device.freshFirmware && !device.options.dspQuiet) scheduleDspUpdate(device);
    device.freshFirmware = false;
}

void simAppByte(SimDevice& device, std::uint8_t byte) {
    if (byte == '^') {
        device.inFrame = true;
        device.frame.clear();
        device.frame.push_back('^');
        return;
    }
    if (!device.inFrame || byte < 0x20 || byte > 0x7E) return;
    device.frame.push_back(static_cast<char>(byte));
    if (byte == '$') {
        device.inFrame = false;
        answerRequest(device, device.frame);
    } else if (device.frame.size() > MAX_FRAME) {
        device.inFrame = false;
    }
}

std::string simVersionReply(SimDevice& device) {
    const std::uint8_t* table = simMapFlash(device.memory, simTableAddress(device.options.flashConfig), 512, nullptr);
    if (!table) return {};
    std::string name;
    for (int i = 0; i < 32 && table[8 + i] >= 0x20 && table[8 + i] < 0x7F; ++i)
        name.push_back(static_cast<char>(table[8 + i]));
    const std::uint32_t version = simLoad32(table + 4);
    char text[128];
    int length = std::snprintf(text, sizeof text, "^=V \"%s\" %u.%02u", name.c_str(), version >> 24,
                               (version >> 16) & 0xFF);
    if (version & 0x3F) length += std::snprintf(text + length, sizeof text - length, ".%u", version & 0x3F);
    if (version & 0xF000) text[length++] = static_cast<char>('a' + ((version >> 12) & 0xF) - 1);
    const bool second = simLoad32(table + 40) == SIM_TABLE_MAGIC_SECOND;
    std::snprintf(text + length, sizeof text - length, ",%u,%u,%X$", table[47], table[46],
                  second ? simLoad32(table + 60) : 0u);
    return text;
}
