// The NXP LPC18xx/43xx ROM bootloader: autobaud and handshake, the command
// set with its argument checks and return codes, and UU data transfers.
#include "sim_internal.h"

#include <algorithm>
#include <array>
#include <cstdio>
#include <cstring>
#include <utility>

namespace {

enum : int {
    CMD_SUCCESS = 0,
    INVALID_COMMAND = 1,
    SRC_ADDR_ERROR = 2,
    DST_ADDR_ERROR = 3,
    SRC_ADDR_NOT_MAPPED = 4,
    DST_ADDR_NOT_MAPPED = 5,
    COUNT_ERROR = 6,
    INVALID_SECTOR = 7,
    SECTOR_NOT_BLANK = 8,
    SECTOR_NOT_PREPARED = 9,
    COMPARE_ERROR = 10,
    PARAM_ERROR = 12,
    ADDR_ERROR = 13,
    ADDR_NOT_MAPPED = 14,
    CMD_LOCKED = 15,
    INVALID_CODE = 16,
    INVALID_BAUD_RATE = 17,
    INVALID_STOP_BIT = 18,
    CODE_READ_PROTECTION_ENABLED = 19,
    INVALID_FLASH_UNIT = 20,
};

constexpr std::uint32_t UNLOCK_CODE = 23130;
constexpr std::uint32_t LINE_BYTES = 45;
constexpr std::uint32_t GROUP_LINES = 20;
constexpr std::size_t MAX_LINE = 256;
constexpr std::uint8_t ESC = 0x1B;

struct Words {
    std::array<std::string_view, 6> word;
    std::size_t count = 0;
};

Words split(std::string_view line) {
    Words words;
    std::size_t i = 0;
    while (i < line.size() && words.count < words.word.size()) {
        while (i < line.size() && line[i] == ' ') ++i;
        const std::size_t start = i;
        while (i < line.size() && line[i] != ' ') ++i;
        if (i > start) words.word[words.count++] = line.substr(start, i - start);
    }
    if (i < line.size()) words.count = words.word.size() + 1;   // more words than any command takes
    return words;
}

bool parseNumber(std::string_view text, std::uint32_t& value) {
    if (text.empty() || text.size() > 10) return false;
    std::uint64_t number = 0;
    for (char c : text) {
        if (c < '0' || c > '9') return false;
        number = number * 10 + static_cast<unsigned>(c - '0');
    }
    value = static_cast<std::uint32_t>(number);
    return number <= 0xFFFFFFFFull;
}

void emitNumberLine(SimDevice& device, std::uint64_t value) {
    char text[24];
    std::snprintf(text, sizeof text, "%llu\r\n", static_cast<unsigned long long>(value));
    simEmit(device, text);
}

void reply(SimDevice& device, int code) {
    device.status.lastReturnCode = static_cast<std::uint32_t>(code);
    emitNumberLine(device, static_cast<std::uint64_t>(code));
}

// Arguments of one command after its letter, all decimal numbers.
using Args = std::array<std::uint32_t, 4>;

// Sector range checks shared by P, E and I: 0 when start..end lie in the bank.
int checkSectors(const SimDevice& device, const Args& a) {
    if (a[2] >= device.memory.bankCount) return INVALID_FLASH_UNIT;
    if (a[1] < a[0] || a[1] >= device.memory.sectorCount) return INVALID_SECTOR;
    return CMD_SUCCESS;
}

std::uint32_t sectorMask(std::uint32_t first, std::uint32_t last) {
    std::uint32_t mask = 0;
    for (std::uint32_t s = first; s <= last; ++s) mask |= 1u << s;
    return mask;
}

// Every block of the map that "W", "R" and "M" may touch: flash and RAM.
int checkTransfer(SimDevice& device, std::uint32_t address, std::uint32_t count, bool ramOnly) {
    if (address % 4) return ADDR_ERROR;
    if (count % 4) return COUNT_ERROR;
    const bool mapped = ramOnly ? simMapRam(device.memory, address, count) != nullptr
                                : simMap(device.memory, address, count) != nullptr;
    return mapped ? CMD_SUCCESS : ADDR_NOT_MAPPED;
}

void lockAgain(SimDevice& device) {
    device.prepared[0] = device.prepared[1] = 0;
}

void flashTouched(SimDevice& device) {
    device.flashChanged = device.freshFirmware = true;
    ++device.status.flashChanges;
}

void sendReadGroup(SimDevice& device) {
    SimTransfer& t = device.transfer;
    t.groupAddress = t.address;
    t.groupLeft = t.left;
    std::uint32_t sum = 0;
    for (std::uint32_t line = 0; line < GROUP_LINES && t.left; ++line) {
        const std::uint32_t n = std::min(t.left, LINE_BYTES);
        const std::uint8_t* bytes = simMap(device.memory, t.address, n);
        for (std::uint32_t i = 0; i < n; ++i) sum += bytes[i];
        simEmit(device, simUuEncode(bytes, n));
        simEmit(device, "\r\n");
        t.address += n;
        t.left -= n;
    }
    emitNumberLine(device, sum);
    device.phase = SIM_PHASE_READ_ACK;
}

int commandUnlock(SimDevice& device, const Args& a, std::string_view) {
    if (a[0] != UNLOCK_CODE) return INVALID_CODE;
    device.unlocked = true;
    return CMD_SUCCESS;
}

int commandEcho(SimDevice& device, const Args& a, std::string_view) {
    if (a[0] > 1 || (a[0] == 1 && device.faults.refuseEchoOn)) return PARAM_ERROR;
    reply(device, CMD_SUCCESS);
    device.echo = a[0] == 1;
    return -1;
}

int commandBaud(SimDevice& device, const Args& a, std::string_view) {
    static constexpr std::uint32_t rates[] = {9600, 19200, 38400, 57600, 115200};
    if (std::find(std::begin(rates), std::end(rates), a[0]) == std::end(rates)) return INVALID_BAUD_RATE;
    if (a[1] != 1 && a[1] != 2) return INVALID_STOP_BIT;
    reply(device, CMD_SUCCESS);   // still at the old rate
    device.baud = a[0];
    return -1;
}

int commandWrite(SimDevice& device, const Args& a, std::string_view) {
    const int code = checkTransfer(device, a[0], a[1], true);
    if (code != CMD_SUCCESS) return code;
    device.transfer = {a[0], a[1], a[0], a[1], 0, 0};
    if (a[1]) device.phase = SIM_PHASE_WRITE_DATA;
    return CMD_SUCCESS;
}

int commandRead(SimDevice& device, const Args& a, std::string_view) {
    const int code = checkTransfer(device, a[0], a[1], false);
    if (code != CMD_SUCCESS) return code;
    reply(device, CMD_SUCCESS);
    device.transfer = {a[0], a[1], a[0], a[1], 0, 0};
    if (a[1]) sendReadGroup(device);
    return -1;
}

int commandPrepare(SimDevice& device, const Args& a, std::string_view) {
    const int code = checkSectors(device, a);
    if (code == CMD_SUCCESS) device.prepared[a[2]] |= sectorMask(a[0], a[1]);
    return code;
}

int commandErase(SimDevice& device, const Args& a, std::string_view) {
    const int code = checkSectors(device, a);
    if (code != CMD_SUCCESS) return code;
    const std::uint32_t mask = sectorMask(a[0], a[1]);
    if ((device.prepared[a[2]] & mask) != mask) return SECTOR_NOT_PREPARED;
    const std::uint32_t start = simSectorStart(device.memory, a[0]);
    const std::uint32_t end = simSectorStart(device.memory, a[1]) + simSectorSize(a[1]);
    std::fill(device.memory.bank[a[2]].begin() + start, device.memory.bank[a[2]].begin() + end, 0xFF);
    lockAgain(device);
    flashTouched(device);
    simEmitBusy(device, std::uint64_t{device.options.eraseMs} * 1000);
    return CMD_SUCCESS;
}

int commandCopy(SimDevice& device, const Args& a, std::string_view) {
    const std::uint32_t flash = a[0], ram = a[1], count = a[2];
    if (count != 512 && count != 1024 && count != 4096) return COUNT_ERROR;
    if (flash % 512) return DST_ADDR_ERROR;
    if (ram % 4) return SRC_ADDR_ERROR;
    std::uint32_t bank = 0;
    std::uint8_t* target = simMapFlash(device.memory, flash, count, &bank);
    if (!target) return DST_ADDR_NOT_MAPPED;
    const std::uint8_t* source = simMapRam(device.memory, ram, count);
    if (!source) return SRC_ADDR_NOT_MAPPED;
    const std::uint32_t offset = flash - (bank == 0 ? SIM_BANK_A : SIM_BANK_B);
    const std::uint32_t mask = sectorMask(simSectorOf(offset), simSectorOf(offset + count - 1));
    if ((device.prepared[bank] & mask) != mask) return SECTOR_NOT_PREPARED;
    // NOR flash only clears bits: programming over unerased cells ANDs.
    for (std::uint32_t i = 0; i < count; ++i) target[i] &= source[i];
    if (device.faults.damageCopy && ++device.copiesSinceFaults == device.faults.damageCopy) {
        std::uint32_t i = 0;
        while (i + 1 < count && target[i] == 0) ++i;
        target[i] &= static_cast<std::uint8_t>(target[i] - 1);   // a weak cell: one bit more cleared
    }
    lockAgain(device);
    flashTouched(device);
    simEmitBusy(device, std::uint64_t{device.options.copyMs} * 1000 * (count / 512));
    return CMD_SUCCESS;
}

int commandBlankCheck(SimDevice& device, const Args& a, std::string_view) {
    const int code = checkSectors(device, a);
    if (code != CMD_SUCCESS) return code;
    const std::uint32_t start = simSectorStart(device.memory, a[0]);
    const std::uint32_t end = simSectorStart(device.memory, a[1]) + simSectorSize(a[1]);
    const std::uint8_t* bank = device.memory.bank[a[2]].data();
    for (std::uint32_t offset = start; offset < end; offset += 4) {
        const std::uint32_t word = simLoad32(bank + offset);
        if (word != 0xFFFFFFFFu) {
            reply(device, SECTOR_NOT_BLANK);
            emitNumberLine(device, offset - start);
            emitNumberLine(device, word);
            return -1;
        }
    }
    return CMD_SUCCESS;
}

int commandPartId(SimDevice& device, const Args&, std::string_view) {
    const SimPartIdReply form = device.options.partIdReply;
    if (form == SIM_PART_ID_SILENT) return -1;
    reply(device, CMD_SUCCESS);
    emitNumberLine(device, device.options.partId);
    if (form == SIM_PART_ID_FULL) emitNumberLine(device, device.options.flashConfig);
    return -1;
}

int commandBootCode(SimDevice& device, const Args&, std::string_view) {
    reply(device, CMD_SUCCESS);
    simEmit(device, "0\r\n13\r\n");
    return -1;
}

int commandSerial(SimDevice& device, const Args&, std::string_view) {
    reply(device, CMD_SUCCESS);
    simEmit(device, "1482906178\r\n4096115713\r\n1410811921\r\n3758106880\r\n");
    return -1;
}

int commandCompare(SimDevice& device, const Args& a, std::string_view) {
    int code = checkTransfer(device, a[0], a[2], false);
    if (code == CMD_SUCCESS) code = checkTransfer(device, a[1], a[2], false);
    if (code != CMD_SUCCESS) return code;
    const std::uint8_t* first = simMap(device.memory, a[0], a[2]);
    const std::uint8_t* second = simMap(device.memory, a[1], a[2]);
    std::uint32_t offset = 0;
    while (offset < a[2] && std::memcmp(first + offset, second + offset, 4) == 0) offset += 4;
    const unsigned failAt = device.faults.failCompare;
    if (failAt && ++device.comparesSinceFaults == failAt)
        offset = 0;
    else if (offset == a[2])
        return CMD_SUCCESS;
    reply(device, COMPARE_ERROR);
    emitNumberLine(device, offset);
    return -1;
}

int commandGo(SimDevice& device, const Args& a, std::string_view mode) {
    if (device.faults.refuseGo) return CODE_READ_PROTECTION_ENABLED;
    if (mode != "T") return PARAM_ERROR;
    if (a[0] % 4) return ADDR_ERROR;
    if (!simMap(device.memory, a[0], 4)) return ADDR_NOT_MAPPED;
    reply(device, CMD_SUCCESS);
    const std::uint8_t* table = simMapFlash(device.memory, simTableAddress(device.options.flashConfig), 512, nullptr);
    const bool entryMatches = table && simLoad32(table + 40) == SIM_TABLE_MAGIC_SECOND &&
                              (simLoad32(table + 132) | 1u) == (a[0] | 1u);
    if (entryMatches && simTableRunnable(device.memory, device.options.flashConfig) &&
        simApplicationWhole(device.memory, device.bootBank))
        simAppStart(device);
    else
        device.mode = SIM_MODE_HALTED;
    return -1;
}

int commandBootBank(SimDevice& device, const Args& a, std::string_view) {
    if (a[0] >= device.memory.bankCount) return INVALID_FLASH_UNIT;
    device.bootBank = a[0];
    device.flashChanged = true;   // the choice is kept in flash
    return CMD_SUCCESS;
}

// A handler returns the code to answer, or -1 when it answered itself.
using Handler = int (*)(SimDevice&, const Args&, std::string_view lastWord);

struct Command {
    char letter;
    std::uint8_t numbers;   // decimal arguments
    bool lastIsWord;        // one more argument that is not a number ("G <addr> T")
    bool needsUnlock;
    Handler run;
};

constexpr Command COMMANDS[] = {
    {'U', 1, false, false, commandUnlock},     {'A', 1, false, false, commandEcho},
    {'B', 2, false, false, commandBaud},       {'W', 2, false, false, commandWrite},
    {'R', 2, false, false, commandRead},       {'P', 3, false, false, commandPrepare},
    {'C', 3, false, true, commandCopy},        {'E', 3, false, true, commandErase},
    {'I', 3, false, false, commandBlankCheck}, {'J', 0, false, false, commandPartId},
    {'K', 0, false, false, commandBootCode},   {'N', 0, false, false, commandSerial},
    {'M', 3, false, false, commandCompare},    {'G', 1, true, true, commandGo},
    {'S', 1, false, false, commandBootBank},
};
static_assert(std::size(COMMANDS) == 15, "one row per command of the ROM");

const Command* findCommand(std::string_view word) {
    if (word.size() != 1) return nullptr;
    for (const Command& command : COMMANDS)
        if (command.letter == word[0]) return &command;
    return nullptr;
}

// The W fault hooks run before the usual checks: a dead switch or a refusal
// answers the command whatever its arguments.
bool writeFaultFired(SimDevice& device) {
    ++device.writesSinceFaults;
    if (device.faults.silentAtWrite && device.writesSinceFaults == device.faults.silentAtWrite) {
        device.silent = true;
        return true;
    }
    if (device.faults.refuseWrite && device.writesSinceFaults == device.faults.refuseWrite) {
        reply(device, device.faults.refuseWriteCode);
        return true;
    }
    return false;
}

int runCommand(SimDevice& device, const Command& command, const Words& words) {
    const std::size_t wanted = 1u + command.numbers + (command.lastIsWord ? 1u : 0u);
    if (words.count != wanted) return PARAM_ERROR;
    Args args{};
    for (std::size_t i = 0; i < command.numbers; ++i)
        if (!parseNumber(words.word[i + 1], args[i])) return PARAM_ERROR;
    if (command.needsUnlock && !device.unlocked) return CMD_LOCKED;
    return command.run(device, args, command.lastIsWord ? words.word[wanted - 1] : std::string_view{});
}

void handleCommandLine(SimDevice& device, std::string_view line) {
    const Words words = split(line);
    ++device.status.commands;
    const Command* command = words.count ? findCommand(words.word[0]) : nullptr;
    if (!command) {
        reply(device, INVALID_COMMAND);
        return;
    }
    ++device.status.commandCounts[command->letter - 'A'];
    if (command->letter == 'W' && writeFaultFired(device)) return;
    const int code = runCommand(device, *command, words);
    if (code >= 0) reply(device, code);
}

bool groupComplete(const SimTransfer& t) {
    return t.groupLines == GROUP_LINES || t.left == 0;
}

// A damage that keeps the line's byte sum, as a lost character sometimes
// does: the group's checksum cannot see it.
void swapStoredBytes(SimDevice& device, std::uint8_t* bytes, std::size_t n) {
    if (!device.faults.swapDataLine || ++device.storedLinesSinceFaults != device.faults.swapDataLine) return;
    for (std::size_t i = 1; i < n; ++i) {
        if (bytes[i] != bytes[0]) {
            std::swap(bytes[0], bytes[i]);
            return;
        }
    }
}

void handleWriteLine(SimDevice& device, std::string_view line) {
    SimTransfer& t = device.transfer;
    if (!groupComplete(t)) {
        // RAM takes what arrives, damaged or not; the checksum decides.
        std::uint8_t bytes[64];
        const std::size_t n = simUuDecode(line, bytes, std::min(t.left, LINE_BYTES));
        swapStoredBytes(device, bytes, n);
        std::memcpy(simMapRam(device.memory, t.address, static_cast<std::uint32_t>(n)), bytes, n);
        for (std::size_t i = 0; i < n; ++i) t.groupSum += bytes[i];
        t.address += static_cast<std::uint32_t>(n);
        t.left -= static_cast<std::uint32_t>(n);
        ++t.groupLines;
        return;
    }
    std::uint32_t checksum = 0;
    if (parseNumber(line, checksum) && checksum == t.groupSum) {
        simEmit(device, "OK\r\n");
        if (t.left == 0) device.phase = SIM_PHASE_COMMAND;
    } else {
        simEmit(device, "RESEND\r\n");
        ++device.status.resends;
        t.address = t.groupAddress;
        t.left = t.groupLeft;
    }
    t.groupAddress = t.address;
    t.groupLeft = t.left;
    t.groupLines = 0;
    t.groupSum = 0;
}

void handleReadAck(SimDevice& device, std::string_view line) {
    SimTransfer& t = device.transfer;
    if (line == "RESEND") {
        t.address = t.groupAddress;
        t.left = t.groupLeft;
    }
    if (t.left)
        sendReadGroup(device);
    else
        device.phase = SIM_PHASE_COMMAND;
}

void autobaudAgain(SimDevice& device) {
    device.mode = SIM_MODE_AUTOBAUD;
    device.baud = 0;
    device.echo = true;
    device.line.clear();
    device.heldLine.clear();
    device.phase = SIM_PHASE_COMMAND;
}

void handleLine(SimDevice& device, std::string_view line) {
    switch (device.mode) {
    case SIM_MODE_HANDSHAKE:
        if (!device.handshakeSynchronized) {
            if (line != "Synchronized") {
                autobaudAgain(device);   // a wrong line sends the ROM back to autobaud
                return;
            }
            device.handshakeSynchronized = true;
        } else {
            // The crystal frequency: these parts run the ROM from their internal
            // oscillator, so the value is taken without being checked.
            device.mode = SIM_MODE_ISP;
        }
        simEmit(device, "OK\r\n");
        return;
    case SIM_MODE_ISP:
        if (device.phase == SIM_PHASE_WRITE_DATA)
            handleWriteLine(device, line);
        else if (device.phase == SIM_PHASE_READ_ACK)
            handleReadAck(device, line);
        else
            handleCommandLine(device, line);
        return;
    default: return;
    }
}

// The fault that damages the Kth data line hits its first data character, whose
// value always reaches the decoded bytes, so the checksum must catch it.
std::uint8_t damageDataLine(SimDevice& device, std::uint8_t byte) {
    const SimTransfer& t = device.transfer;
    if (device.phase != SIM_PHASE_WRITE_DATA || groupComplete(t) || device.line.size() != 1 ||
        !device.faults.corruptDataLine)
        return byte;
    if (++device.dataLinesSinceFaults == device.faults.corruptDataLine) return static_cast<std::uint8_t>(byte ^ 0x01);
    return byte;
}

void hearSynchronised(SimDevice& device, std::uint8_t byte) {
    byte = damageDataLine(device, byte);
    if (device.echo) simEmit(device, std::string_view(reinterpret_cast<const char*>(&byte), 1));
    if (byte == ESC) {
        device.line.clear();
        device.phase = SIM_PHASE_COMMAND;
        return;
    }
    if (byte == '\r' || byte == '\n') {
        if (!device.line.empty()) {
            const std::string line = std::move(device.line);
            device.line.clear();
            handleLine(device, line);
        }
        return;
    }
    if (device.line.size() < MAX_LINE) device.line.push_back(static_cast<char>(byte));
}

}   // namespace

std::size_t simDataLineLimit(const SimDevice& device) {
    const SimTransfer& t = device.transfer;
    if (device.phase != SIM_PHASE_WRITE_DATA || groupComplete(t)) return 0;
    return std::min(t.left, LINE_BYTES);
}

void simIspEnter(SimDevice& device) {
    device.unlocked = false;
    lockAgain(device);
    device.events.clear();
    autobaudAgain(device);
    ++device.status.bootloaderEntries;
}

void simIspByte(SimDevice& device, std::uint8_t byte) {
    if (device.mode == SIM_MODE_AUTOBAUD) {
        if (byte == '?') {
            device.mode = SIM_MODE_HANDSHAKE;
            device.baud = device.hostBaud;
            device.handshakeSynchronized = false;
            simEmit(device, "Synchronized\r\n");
        }
        return;
    }
    for (const char c : simLineFaults(device, byte)) hearSynchronised(device, static_cast<std::uint8_t>(c));
}
