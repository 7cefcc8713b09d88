// The switch as a whole: power-on, what it hears, what it sends, and the
// faults that act on every byte whichever firmware runs.
#include "sim_internal.h"

#include <algorithm>
#include <cstdint>

void simDeviceInit(SimDevice& device, const SimOptions& options) {
    device.options = options;
    simMemoryInit(device.memory, options.flashConfig);
    simInstallFlash(device.memory, options.flashConfig, options.flash);
    simDeviceSetFaults(device, options.faults);
}

void simDeviceSetFaults(SimDevice& device, const SimFaults& faults) {
    device.faults = faults;
    device.heardSinceFaults = 0;
    device.writesSinceFaults = device.dataLinesSinceFaults = device.storedLinesSinceFaults =
        device.comparesSinceFaults = 0;
    device.copiesSinceFaults = device.burstLeft = device.burstToHostLeft = 0;
    device.heldLinesSinceFaults = 0;
    device.exchangeDone = device.collisionDone = false;
    device.rng = 0x9E3779B97F4A7C15ull ^ faults.corruptSeed;
}

std::uint32_t simRandom(SimDevice& device) {
    // xorshift64*: reproducible from the seed, which is all a fault needs.
    device.rng ^= device.rng >> 12;
    device.rng ^= device.rng << 25;
    device.rng ^= device.rng >> 27;
    return static_cast<std::uint32_t>((device.rng * 0x2545F4914F6CDD1Dull) >> 32);
}

void simDeviceReset(SimDevice& device) {
    std::fill(device.memory.ram0.begin(), device.memory.ram0.end(), 0);
    std::fill(device.memory.ram1.begin(), device.memory.ram1.end(), 0);
    device.silent = false;
    device.events.clear();
    ++device.status.resets;
    const SimOptions& options = device.options;
    // The ROM starts whatever has a valid vector-table checksum; only then
    // does the application itself look at its parameter table.
    const bool validCode = options.ignoreVectorChecksum || simVectorChecksumOk(device.memory, device.bootBank);
    if (options.startInBootloader || !validCode)
        simIspEnter(device);
    else if (!simApplicationWhole(device.memory, device.bootBank))
        device.mode = SIM_MODE_HALTED;
    else if (simTableRunnable(device.memory, options.flashConfig))
        simAppStart(device);
    else
        simIspEnter(device);
}

namespace {

bool chance(SimDevice& device, double rate) {
    return rate > 0 && simRandom(device) < rate * 4294967296.0;
}

std::uint8_t replaced(SimDevice& device, std::uint8_t byte) {
    return static_cast<std::uint8_t>(byte ^ (1 + simRandom(device) % 255));
}

// A burst replaces 8 to 64 bytes in a row, the byte that starts it included.
bool inBurst(SimDevice& device, double rate, unsigned& left) {
    if (left > 0) {
        --left;
        return true;
    }
    if (!chance(device, rate)) return false;
    left = 7 + simRandom(device) % 57;
    return true;
}

void deliver(SimDevice& device, std::uint8_t byte) {
    if (device.mode == SIM_MODE_APPLICATION)
        simAppByte(device, byte);
    else if (device.mode != SIM_MODE_HALTED)
        simIspByte(device, byte);
}

}   // namespace

void simDeviceHear(SimDevice& device, std::uint8_t byte) {
    if (device.silent) return;
    const SimFaults& faults = device.faults;
    if (chance(device, faults.corruptRate) || inBurst(device, faults.burstRate, device.burstLeft))
        byte = replaced(device, byte);
    if (chance(device, faults.insertRate)) deliver(device, static_cast<std::uint8_t>(simRandom(device)));
    if (!chance(device, faults.loseRate)) deliver(device, byte);
    const std::uint64_t limit = device.faults.silentAfterBytes;
    if (limit && ++device.heardSinceFaults == limit) device.silent = true;
}

void simDeviceTick(SimDevice& device) {
    auto due = [&](const SimEvent& event) { return event.dueUs <= device.nowUs; };
    while (!device.events.empty() && due(device.events.front())) {
        if (!device.silent) simEmit(device, device.events.front().text);
        device.events.erase(device.events.begin());
    }
}

std::uint64_t simDeviceNextEventUs(const SimDevice& device) {
    return device.events.empty() ? UINT64_MAX : device.events.front().dueUs;
}

void simEmit(SimDevice& device, std::string_view text) {
    const SimFaults& faults = device.faults;
    for (char c : text) {
        auto byte = static_cast<std::uint8_t>(c);
        if (chance(device, faults.corruptToHostRate) || inBurst(device, faults.burstToHostRate, device.burstToHostLeft))
            byte = replaced(device, byte);
        if (chance(device, faults.insertToHostRate))
            device.out.push_back({static_cast<int>(simRandom(device) & 0xFF), device.baud, 0});
        if (!chance(device, faults.loseToHostRate)) device.out.push_back({byte, device.baud, 0});
    }
}

void simEmitBusy(SimDevice& device, std::uint64_t us) {
    device.status.flashBusyUs += us;
    device.out.push_back({-1, device.baud, static_cast<std::uint32_t>(us)});
}
