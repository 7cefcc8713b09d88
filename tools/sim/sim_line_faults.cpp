// Faults that change a "W" data line on the wire, before the ROM hears it, in
// ways its byte-sum checksum cannot see. Choosing such a change needs the whole
// line, so while one is armed each data line is held back until its end and
// then heard byte by byte, echo included, as if the wire had delivered it so.
#include "sim_internal.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <numeric>
#include <utility>

namespace {

constexpr std::size_t MAX_HELD = 256;
constexpr std::uint8_t ESC = 0x1B;

bool exchangeArmed(const SimDevice& device) {
    return device.faults.exchangeGroups && !device.exchangeDone;
}

bool collisionArmed(const SimDevice& device) {
    return device.faults.loseCollision && !device.collisionDone;
}

std::uint32_t sumOf(const std::uint8_t* bytes, std::size_t count) {
    return std::accumulate(bytes, bytes + count, 0u);
}

// Exchanges the first group with the first later one that carries other bytes;
// returns the later one's index, or 0 when all are equal. Only groups that
// carry three bytes of the line take part, so the bytes are only reordered.
std::size_t exchangeUnequalGroups(std::string& line, std::size_t limit) {
    std::uint8_t bytes[64];
    const std::size_t whole = std::min(simUuDecode(line, bytes, limit) / 3, (line.size() - 1) / 4);
    for (std::size_t group = 1; group < whole; ++group) {
        if (std::memcmp(bytes, bytes + 3 * group, 3) != 0) {
            std::swap_ranges(line.begin() + 1, line.begin() + 5, line.begin() + 1 + 4 * group);
            return group;
        }
    }
    return 0;
}

// The first character whose loss changes the decoded bytes but not their sum,
// or 0 when there is none. The length character is never the one: losing it
// would change how many bytes the line carries, and so the group's lines.
std::size_t collidingLoss(const std::string& line, std::size_t limit) {
    std::uint8_t sent[64], heard[64];
    const std::size_t count = simUuDecode(line, sent, limit);
    for (std::size_t at = 1; at < line.size(); ++at) {
        std::string shorter = line;
        shorter.erase(at, 1);
        simUuDecode(shorter, heard, limit);
        if (sumOf(heard, count) == sumOf(sent, count) && std::memcmp(heard, sent, count) != 0) return at;
    }
    return 0;
}

void note(SimDevice& device, const std::string& what) {
    device.notes.push_back("W data line " + std::to_string(device.heldLinesSinceFaults) + ": " + what);
}

// The held line as the wire delivers it.
std::string deliverHeld(SimDevice& device, std::size_t limit) {
    std::string line = std::exchange(device.heldLine, {});
    const unsigned number = ++device.heldLinesSinceFaults;
    if (exchangeArmed(device) && number >= device.faults.exchangeGroups) {
        if (const std::size_t group = exchangeUnequalGroups(line, limit)) {
            device.exchangeDone = true;
            note(device, "groups 1 and " + std::to_string(group + 1) + " exchanged on the wire");
        }
    }
    if (collisionArmed(device) && number >= device.faults.loseCollision) {
        if (const std::size_t at = collidingLoss(line, limit)) {
            line.erase(at, 1);
            device.collisionDone = true;
            note(device, "character " + std::to_string(at + 1) + " lost on the wire, its sum kept");
        }
    }
    return line;
}

// A "W" command is held while the misdirection waits for its Kth one.
bool misdirectArmed(const SimDevice& device) {
    return device.faults.misdirectWrite && device.phase == SIM_PHASE_COMMAND &&
           device.writesSinceFaults < device.faults.misdirectWrite;
}

// The Kth "W" as a damaged digit delivers it: its address moved.
std::string deliverCommand(SimDevice& device) {
    std::string line = std::exchange(device.heldLine, {});
    if (line.rfind("W ", 0) != 0 || device.writesSinceFaults + 1 != device.faults.misdirectWrite) return line;
    const std::size_t end = line.find(' ', 2);
    const std::uint32_t address = static_cast<std::uint32_t>(std::strtoul(line.c_str() + 2, nullptr, 10));
    const std::uint32_t moved = address + static_cast<std::uint32_t>(device.faults.misdirectBy);
    return "W " + std::to_string(moved) + (end == std::string::npos ? "" : line.substr(end));
}

}   // namespace

std::string simLineFaults(SimDevice& device, std::uint8_t byte) {
    const std::string heard(1, static_cast<char>(byte));
    const bool end = byte == '\r' || byte == '\n';
    const std::size_t limit = simDataLineLimit(device);
    const bool command = !limit && misdirectArmed(device);
    if (device.heldLine.empty() && (end || byte == ESC || !device.line.empty() ||
                                    !(command || (limit && (exchangeArmed(device) || collisionArmed(device))))))
        return heard;
    if (end) return (limit ? deliverHeld(device, limit) : deliverCommand(device)) + heard;
    device.heldLine += heard;
    if (byte == ESC || device.heldLine.size() >= MAX_HELD) return std::exchange(device.heldLine, {});
    return {};
}
