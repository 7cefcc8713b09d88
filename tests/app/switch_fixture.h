// Simulated switches linked as COM ports of a temporary BMFWU_PORT_DIR.
#pragma once
#include <memory>
#include <string>
#include <vector>

#include "app/program_run.h"
#include "sim.h"

struct SwitchDeleter {
    void operator()(SimSwitch* sim) const { simStop(sim); }
};
using SwitchHandle = std::unique_ptr<SimSwitch, SwitchDeleter>;

// A switch running firmware for `productId`/`pcbRevision` at `version`.
inline SimOptions switchWith(std::uint8_t productId, std::uint8_t pcbRevision, std::uint32_t version,
                             const std::string& name) {
    SimOptions options;
    options.flash.kind = SIM_FLASH_TABLE;
    options.flash.productId = productId;
    options.flash.pcbRevision = pcbRevision;
    options.flash.version = version;
    options.flash.modelName = name;
    return options;
}

inline SimOptions imageOneSwitch() {
    return switchWith(0x56, 3, 0x03030000, "Sonavex F");
}
inline SimOptions imageTwoSwitch() {
    SimOptions options = switchWith(0x64, 1, 0x03030000, "Sonavex F-II");
    options.flashConfig = 0x44;
    return options;
}

inline SwitchHandle startSwitch(SimOptions options, const TempDir& ports, unsigned port) {
    options.linkPath = ports.comPath(port);
    std::string error;
    SwitchHandle sim(simStart(options, &error));
    if (!sim) throw std::runtime_error("simulated switch: " + error);
    return sim;
}
