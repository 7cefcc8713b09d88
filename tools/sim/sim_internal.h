// Internals of the simulated switch, shared by its source files only.
#pragma once
#include "sim.h"

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

// ---- CRC-32 and UU lines (sim_codec.cpp): the switch's own, sharing nothing with the program.

std::uint32_t simCrc32Update(std::uint32_t reg, const std::uint8_t* bytes, std::size_t count);
std::uint32_t simCrc32(const std::uint8_t* bytes, std::size_t count);   // preset, final complement
constexpr std::uint32_t SIM_CRC_RESIDUE = 0xDEBB20E3;

// Encodes 1..45 bytes as one line (no line end); zero sextets become '`'.
std::string simUuEncode(const std::uint8_t* bytes, std::size_t count);
// Decodes one line into out (at most `limit` bytes); returns the bytes stored.
// Characters missing from a short line decode as zero.
std::size_t simUuDecode(std::string_view line, std::uint8_t* out, std::size_t limit);

// ---- Memory map and flash contents (sim_memory.cpp).

constexpr std::uint32_t SIM_BANK_A = 0x1A000000;
constexpr std::uint32_t SIM_BANK_B = 0x1B000000;
constexpr std::uint32_t SIM_RAM0 = 0x10000000;
constexpr std::uint32_t SIM_RAM0_SIZE = 32 * 1024;
constexpr std::uint32_t SIM_RAM1 = 0x10080000;
constexpr std::uint32_t SIM_RAM1_SIZE = 40 * 1024;
constexpr unsigned SIM_APP_BAUD = 19200;
constexpr std::uint32_t SIM_BANK_MAX = 512 * 1024;
constexpr std::uint32_t SIM_TABLE_MAGIC_FIRST = 0x1E3CA501;
constexpr std::uint32_t SIM_TABLE_MAGIC_SECOND = 0x1E3CA502;

struct SimMemory {
    std::uint32_t bankSize;              // bytes per bank
    std::uint32_t bankCount;             // 1 or 2
    std::uint32_t sectorCount;           // per bank
    std::vector<std::uint8_t> bank[2];   // always SIM_BANK_MAX bytes; only bankSize are mapped
    std::vector<std::uint8_t> ram0, ram1;
};

void simMemoryInit(SimMemory& memory, std::uint32_t flashConfig);
// The bytes of [address, address + count) when they lie inside one mapped
// region (a flash bank or a RAM block), else nullptr.
std::uint8_t* simMap(SimMemory& memory, std::uint32_t address, std::uint32_t count);
std::uint8_t* simMapFlash(SimMemory& memory, std::uint32_t address, std::uint32_t count, std::uint32_t* bank);
std::uint8_t* simMapRam(SimMemory& memory, std::uint32_t address, std::uint32_t count);
std::uint32_t simSectorStart(const SimMemory& memory, std::uint32_t sector);   // offset in its bank
std::uint32_t simSectorSize(std::uint32_t sector);
std::uint32_t simSectorOf(std::uint32_t offset);   // sector holding a bank offset

void simInstallFlash(SimMemory& memory, std::uint32_t flashConfig, const SimFlashImage& image);
// Whether the table at the layout's address is one an application runs with:
// first form by its magic; second form by magic, table residue and region CRC.
bool simTableRunnable(SimMemory& memory, std::uint32_t flashConfig);
// Whether the first eight words of a bank sum to zero (the ROM's valid-code test).
bool simVectorChecksumOk(SimMemory& memory, std::uint32_t bank);
// Whether a bank holds a whole application: one that ends in the CRC of the
// bytes before it. Code that is not whole crashes when started.
bool simApplicationWhole(SimMemory& memory, std::uint32_t bank);
std::uint32_t simLoad32(const std::uint8_t* bytes);
void simStore32(std::uint8_t* bytes, std::uint32_t value);

// State file: both banks and the boot bank. Load returns 0, 1 when the file
// is missing, 2 when it is not a state file; save returns 0 or 1.
int simStateLoad(const std::string& path, SimMemory& memory, std::uint32_t& bootBank);
int simStateSave(const std::string& path, const SimMemory& memory, std::uint32_t bootBank);

// ---- The device model (sim_isp.cpp, sim_app.cpp, sim_device.cpp).

// One unit of output: a byte sent at `baud`, or (byte < 0) a pause of delayUs
// during which the switch is busy with its flash.
struct SimOut {
    int byte;
    std::uint32_t baud;
    std::uint32_t delayUs;
};

enum SimIspPhase : int { SIM_PHASE_COMMAND, SIM_PHASE_WRITE_DATA, SIM_PHASE_READ_ACK };

// A "W" or "R" transfer in progress, moved in groups of up to 20 lines.
struct SimTransfer {
    std::uint32_t address;        // next byte's address
    std::uint32_t left;           // bytes not yet moved
    std::uint32_t groupAddress;   // where the current group started (RESEND rewinds here)
    std::uint32_t groupLeft;      // `left` when the group started
    std::uint32_t groupLines;
    std::uint32_t groupSum;
};

struct SimEvent {
    std::uint64_t dueUs;
    std::string text;
};

struct SimDevice {
    SimOptions options;
    SimMemory memory;
    std::uint64_t nowUs = 0;   // set by the caller before each call
    unsigned hostBaud = 0;     // likewise

    SimMode mode = SIM_MODE_AUTOBAUD;
    unsigned baud = 0;   // listening rate; 0 while autobauding
    bool echo = true;
    bool unlocked = false;
    std::uint32_t prepared[2] = {0, 0};   // sector bit masks per bank
    std::uint32_t bootBank = 0;
    bool silent = false;
    bool freshFirmware = false;   // flash changed since the application last started
    bool flashChanged = false;    // set on every erase or copy; the caller saves and clears it

    bool handshakeSynchronized = false;   // "Synchronized" accepted, frequency line pending
    std::string line;
    SimIspPhase phase = SIM_PHASE_COMMAND;
    SimTransfer transfer{};
    std::string frame;
    bool inFrame = false;
    std::vector<SimEvent> events;

    SimFaults faults;
    std::uint64_t heardSinceFaults = 0;
    unsigned writesSinceFaults = 0, dataLinesSinceFaults = 0, storedLinesSinceFaults = 0, comparesSinceFaults = 0,
             copiesSinceFaults = 0;
    unsigned burstLeft = 0, burstToHostLeft = 0;   // bytes still to be replaced by a running burst
    std::string heldLine;                          // a "W" data line the line faults hold back until its end
    unsigned heldLinesSinceFaults = 0;
    bool exchangeDone = false, collisionDone = false;
    std::vector<std::string> notes;   // what the faults did, for the traffic log
    std::uint64_t rng = 1;

    std::vector<SimOut> out;
    SimStatus status{};
};

void simDeviceInit(SimDevice& device, const SimOptions& options);
void simDeviceReset(SimDevice& device);   // power on
void simDeviceSetFaults(SimDevice& device, const SimFaults& faults);
// A byte the switch has heard, after the caller's rate check.
void simDeviceHear(SimDevice& device, std::uint8_t byte);
void simDeviceTick(SimDevice& device);                         // sends what is due
std::uint64_t simDeviceNextEventUs(const SimDevice& device);   // UINT64_MAX when none
std::uint32_t simRandom(SimDevice& device);

void simEmit(SimDevice& device, std::string_view text);
void simEmitBusy(SimDevice& device, std::uint64_t us);

void simIspEnter(SimDevice& device);
void simIspByte(SimDevice& device, std::uint8_t byte);
void simAppStart(SimDevice& device);
void simAppByte(SimDevice& device, std::uint8_t byte);
std::string simVersionReply(SimDevice& device);
// How many bytes the line the ROM is receiving may carry when it is a "W"
// data line; 0 when it is not one.
std::size_t simDataLineLimit(const SimDevice& device);

// ---- Faults that change a whole "W" data line on the wire (sim_line_faults.cpp).

// Takes a byte the synchronised ROM is about to hear and returns what it hears
// now: the byte itself; nothing while a data line is held back for a fault that
// must see all of it; at the line's end the line as the wire delivers it.
std::string simLineFaults(SimDevice& device, std::uint8_t byte);

// ---- Command line (sim_cli.cpp).

// Parses the arguments after the program name. Returns 0 with `options`
// filled, 1 when --help was given, 2 with a message in `error` otherwise.
int simParseArguments(int argc, const char* const* argv, SimOptions& options, unsigned& exitAfterMs,
                      std::string& error);
const char* simUsage();
