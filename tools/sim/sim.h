// The simulated switch: an NXP LPC18xx/43xx ROM bootloader and the switch's
// own application firmware, served on a pseudo-terminal so that a host opens
// its slave like a serial port.
//
// A switch runs on its own thread from simStart to simStop. Every function
// here may be called from any thread while it runs; each one takes the
// switch's lock, so the state a test reads is always consistent.
//
// The switch listens and talks at one rate at a time: the application at
// 19200 baud; the ROM bootloader at whatever rate the host sent its "?" at,
// until reset. A byte crosses only when the host's rate (read from the slave's
// termios) equals the switch's; otherwise it is lost, or becomes a random
// byte when `garbageAtWrongRate` is set. Bytes the switch sends while no host
// holds the slave open are lost, like those of a real port nobody listens to.
#pragma once
#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

// What the flash holds when a switch starts without a state file to load.
enum SimFlashKind : int {
    SIM_FLASH_BLANK = 0,        // erased: the switch answers only in its ROM bootloader
    SIM_FLASH_TABLE = 1,        // a stand-in application with a parameter table of the second form
    SIM_FLASH_FIRST_FORM = 2,   // a stand-in application with a parameter table of the first form
};

// The installed firmware of a programmed flash. The stand-in application
// fills the first 512 bytes of bank A (a vector table whose first eight words
// sum to zero, reset vector `entryAddress`); the table sits in the last 512
// bytes of bank A with its region CRC over those 512 bytes.
struct SimFlashImage {
    SimFlashKind kind = SIM_FLASH_BLANK;
    std::uint8_t productId = 0x56;
    std::uint8_t pcbRevision = 3;
    std::uint32_t version = 0x03030000;        // major 31-24, minor 23-16, letter 15-12, sub 5-0
    std::string modelName = "Sonavex F";       // at most 32 characters; 32 leave no terminator
    bool badRegionCrc = false;                 // store a region CRC that does not match
    std::uint32_t entryAddress = 0x1A000101;   // Thumb bit set, as the table stores it
};

// How the ROM answers "J" (part identification).
enum SimPartIdReply : int {
    SIM_PART_ID_FULL = 0,        // "0", the part id, the flash-configuration word
    SIM_PART_ID_NO_CONFIG = 1,   // "0" and the part id only
    SIM_PART_ID_SILENT = 2,      // no answer at all
};

// Faults, each off when 0. K counts from 1 from the moment the faults were set
// (simStart or simSetFaults); each fires once.
struct SimFaults {
    std::uint64_t silentAfterBytes = 0;   // go silent once the switch has heard this many more bytes
    unsigned silentAtWrite = 0;           // go silent on receiving the Kth "W" command (no reply)
    unsigned corruptDataLine = 0;         // damage one character of the Kth "W" data line (the ROM answers RESEND)
    unsigned swapDataLine = 0;            // store the Kth "W" data line with two unequal bytes swapped: its sum,
                                          //   and so the group's checksum, still passes
    unsigned exchangeGroups = 0;          // the Kth "W" data line arrives with two unequal groups exchanged: same sum
    unsigned loseCollision = 0;           // from the Kth "W" data line on, lose a character whose loss keeps the sum
    double corruptRate = 0.0;             // chance that a heard byte is replaced by another (0..1)
    double corruptToHostRate = 0.0;       // chance that a byte the switch sends is replaced (0..1)
    double burstRate = 0.0;               // chance that a heard byte starts a burst: it and the 7..63
    double burstToHostRate = 0.0;         //   bytes after it replaced (likewise for bytes sent)
    double loseRate = 0.0;                // chance that a heard byte is lost
    double loseToHostRate = 0.0;          // chance that a byte the switch sends is lost
    double insertRate = 0.0;              // chance that a random byte is heard before a heard byte
    double insertToHostRate = 0.0;        // chance that a random byte is sent before a sent byte
    std::uint32_t corruptSeed = 1;        // seeds corruptRate and garbage bytes
    unsigned failCompare = 0;             // the Kth "M" command reports a mismatch at offset 0
    unsigned damageCopy = 0;              // the Kth "C" command leaves one programmed bit cleared
    unsigned refuseWrite = 0;             // the Kth "W" command is answered refuseWriteCode
    int refuseWriteCode = 14;
    bool refuseEchoOn = false;      // answer "A 1" with PARAM_ERROR, as a bootloader without that echo would
    bool refuseGo = false;          // answer every "G" with CODE_READ_PROTECTION_ENABLED and stay in the bootloader
    unsigned misdirectWrite = 0;    // the Kth "W" command is heard with its address `misdirectBy` bytes
    std::int32_t misdirectBy = 0;   //   away, as a damaged digit would leave it (its echo shows it)
};

struct SimOptions {
    std::string linkPath;    // when set: a symlink to the slave made here (a symlink already there is
                             // replaced; anything else is an error) and removed by simStop
    std::string statePath;   // when set: flash loaded from here at start (written from `flash` when
                             // missing), saved after every erase or copy and at simStop

    // Controller.
    std::uint32_t partId = 0xA001C830;
    std::uint32_t flashConfig = 0x00;   // low byte 0x00, 0x22, 0x44 or 0x80 picks the bank sizes;
                                        // other values answer as given and lay out as 0x00
    SimPartIdReply partIdReply = SIM_PART_ID_FULL;
    SimFlashImage flash;
    bool startInBootloader = false;      // every reset enters the ROM bootloader (ISP pin held low)
    bool ignoreVectorChecksum = false;   // reset starts the application without the vector-table checksum

    // Application (19200 baud).
    std::string pingReply = "^=P00$";   // answer to "^P$"
    std::string versionReply;           // answer to "^V$" sent as given; empty: built from the table
    unsigned keepAliveLines = 0;        // "^+$" lines sent before the version reply
    unsigned dspBanks = 2;              // DSP progress after starting freshly programmed firmware:
    unsigned dspIntervalMs = 100;       //   "^!100,<bank>,<step>$" for banks 1..dspBanks, steps 0..5,
    unsigned appBootMs = 200;           //   the first after appBootMs, then one per interval,
    bool dspQuiet = false;              //   then "^=P$"; dspQuiet sends none of it

    // Wire.
    bool garbageAtWrongRate = false;
    bool throttle = false;    // pace bytes at 10 bits per byte and spend the flash times below
    unsigned eraseMs = 100;   // one erase command, whatever its sector count
    unsigned copyMs = 1;      // per 512 bytes copied
    unsigned latencyMs = 0;   // a USB adapter's latency timer: each byte to the host is held
                              //   until the next tick of a free-running timer of this period
    std::string logPath;      // traffic log of every byte both ways; none when empty
    bool capture = true;      // keep every byte both ways for simTraffic

    SimFaults faults;
};

enum SimMode : int {
    SIM_MODE_AUTOBAUD = 0,      // ROM bootloader waiting for "?" at any rate
    SIM_MODE_HANDSHAKE = 1,     // ROM locked to a rate, "Synchronized" and frequency lines pending
    SIM_MODE_ISP = 2,           // ROM bootloader synchronised, taking commands
    SIM_MODE_APPLICATION = 3,   // the switch application runs
    SIM_MODE_HALTED = 4,        // code that is no whole application was started (by "G" or at
                                //   power-on, its vector checksum valid): silent until reset
};

struct SimStatus {
    SimMode mode;
    bool silent;                       // made deaf and mute by a fault or simSetSilent; ends at reset
    bool hostOpen;                     // a host holds the slave open
    bool echo;                         // the ROM echoes what it receives
    bool unlocked;                     // "U" accepted since the last reset
    unsigned hostBaud;                 // the rate the host's side is set to
    unsigned switchBaud;               // the rate the switch listens at; 0 while the ROM autobauds
    std::uint32_t bootBank;            // set by "S"
    std::uint64_t bytesFromHost;       // every byte the host sent, heard or not
    std::uint64_t bytesToHost;         // every byte the switch sent, heard or not
    std::uint64_t bytesLost;           // host bytes the switch did not hear
    std::uint64_t flashBusyUs;         // modelled erase and copy time (spent only when throttled)
    std::uint64_t commands;            // ISP command lines handled
    std::uint32_t commandCounts[26];   // per command letter 'A'..'Z'
    std::uint32_t resends;             // RESEND answers to "W" data
    std::uint32_t resets;              // power-on resets: the start and each simReset
    std::uint32_t appStarts;           // the application started (reset or "G")
    std::uint32_t bootloaderEntries;   // the ROM bootloader entered (reset or "^BOOTL$")
    std::uint32_t flashChanges;        // erase and copy commands carried out
    std::uint32_t hostOpens;           // times a host opened the slave
    std::uint32_t lastReturnCode;      // of the last ISP command answered
};

// One byte on the wire, in the order the bytes crossed.
struct SimWireByte {
    std::uint64_t timeUs;   // since simStart
    std::uint32_t baud;     // the sender's rate
    std::uint8_t value;     // as sent
    bool fromHost;
    bool heard;   // reached the other side (right rate, switch not silent, host present)
};

struct SimSwitch;

// Opens a pseudo-terminal, loads or builds the flash, resets the switch and
// starts serving. Returns the switch, or nullptr with a reason in *error.
SimSwitch* simStart(const SimOptions& options, std::string* error = nullptr);

// Stops serving, saves the state file, removes the symlink, closes the
// pseudo-terminal and frees the switch. Null is ignored.
void simStop(SimSwitch* sim);

// The slave's path ("/dev/pts/N"), valid until simStop.
const std::string& simSlavePath(const SimSwitch* sim);

SimStatus simStatus(SimSwitch* sim);

// Polls simStatus until `done` returns true or timeoutMs pass. Returns
// whether `done` was met.
bool simWaitFor(SimSwitch* sim, const std::function<bool(const SimStatus&)>& done, unsigned timeoutMs);

// Reads or writes `count` bytes of flash (as present in the layout) or RAM at
// `address`. Writes store the bytes as given (no AND, no prepare, no state
// save, not counted as programming). Return 0, or 1 when some byte of the
// range is unmapped (nothing is then transferred).
int simReadMemory(SimSwitch* sim, std::uint32_t address, void* out, std::size_t count);
int simWriteMemory(SimSwitch* sim, std::uint32_t address, const void* bytes, std::size_t count);

// Erases both banks and programs `image` into them, as a factory would.
void simLoadFlash(SimSwitch* sim, const SimFlashImage& image);

// Power cycle: RAM cleared, lock and prepare reset, silence ended, then as the
// chip's ROM does: an invalid vector-table checksum (or the ISP pin) enters the
// ROM bootloader; valid code that is not a whole application halts; a whole one
// runs and, without a runnable parameter table, drops into the bootloader.
void simReset(SimSwitch* sim);

// Makes the switch deaf and mute now (true), or lets it hear and talk again
// in the state it was in (false).
void simSetSilent(SimSwitch* sim, bool silent);

// Replaces the faults; their counts start again from now.
void simSetFaults(SimSwitch* sim, const SimFaults& faults);

// Every byte both ways since the start or the last simClearTraffic (when
// `capture` is set). simReceived gives just the host's bytes, heard or not,
// and simSent just the switch's.
std::vector<SimWireByte> simTraffic(SimSwitch* sim);
std::vector<std::uint8_t> simReceived(SimSwitch* sim);
std::vector<std::uint8_t> simSent(SimSwitch* sim);
void simClearTraffic(SimSwitch* sim);

// The flash address of the parameter table for a flash-configuration word:
// the last 512 bytes of bank A (0x1A07FE00 for 0x00, 0x1A03FE00 for 0x44).
std::uint32_t simTableAddress(std::uint32_t flashConfig);

// Fills `out` with the 512 bytes of the stand-in application that `image`
// installs at the start of bank A.
void simBuildApplication(const SimFlashImage& image, std::uint8_t out[512]);

// Fills `out` with the 512-byte parameter table that `image` installs (its
// region CRC taken over `application`, the first 512 bytes of bank A).
void simBuildTable(const SimFlashImage& image, const std::uint8_t application[512], std::uint8_t out[512]);
