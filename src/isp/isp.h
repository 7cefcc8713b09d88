// Client of the NXP LPC18xx/43xx ROM bootloader's ISP commands, one function
// per command. All of them assume nxpSync returned 1 (synchronised, echo off)
// and read every reply with readLineCr; a reply that does not come within its
// line budget counts as an empty line. A reply is judged by its first
// character: "0" is success, any other return code is failure.
#pragma once
#include <cstdint>

constexpr std::uint32_t ISP_CHUNK = 900;   // data bytes per R command and per checksum block of a W
constexpr std::uint32_t ISP_WRITE_PIECE = 4096;   // data bytes per W command: one flash block
constexpr int UU_LINE_BYTES = 45;          // data bytes per UU line; 20 lines make a chunk
constexpr std::uint32_t ISP_UNLOCK_CODE = 23130;
constexpr int ISP_WRITE_ATTEMPTS = 3;   // sends of one chunk's lines before a write gives up

struct PartId {
    std::uint32_t partWord0;     // low 16 bits of the part identification word
    std::uint32_t flashConfig;   // flash configuration word; 0 when it did not answer
};

// "U 23130". 0 unlocked; 1 any other answer or none.
int nxpUnlock();

// "G <address> T" (Thumb; the caller clears bit 0). 0 when the answer is "0"
// or there is none (a started application may not answer); 1 otherwise.
int nxpGo(std::uint32_t address);

// "P"/"E" with sectors and bank reduced to 8 bits. 0 success; 1 otherwise.
int nxpPrepare(unsigned start, unsigned end, unsigned bank);
int nxpErase(unsigned start, unsigned end, unsigned bank);

// "C <flash> <ram> <count>". 0 success; 1 otherwise.
int nxpCopy(std::uint32_t flash, std::uint32_t ram, std::uint32_t count);

// "M <a1> <a2> <count>". 0 equal; 2 mismatch ("10", whose offset line is
// consumed); 1 any other answer or none.
int nxpCompare(std::uint32_t address1, std::uint32_t address2, std::uint32_t count);

// "J". Fills `out` from the second and third reply lines (their leading
// decimal digits; a missing line gives 0). Always 0.
int nxpReadPartId(PartId* out);

// Reads `count` bytes from `address` into `destination` (caller-owned, at
// least `count` bytes), 900 per "R" command. Each command asks for its chunk
// rounded up to a multiple of 4; only the requested bytes are stored, and the
// checksum covers every byte the bootloader sent. Returns `count` on success.
// 0: no return code, a data or checksum line missing ("Timeout\n" printed on
// the console), a checksum mismatch, or a negative count. -total (0 or below):
// the bootloader rejected an "R"; total is what earlier chunks stored.
int nxpRead(void* destination, std::uint32_t address, std::int32_t count);

// Writes `count` bytes from `source` to RAM at `address`, up to 4096 per "W"
// command (announced rounded up to a multiple of 4; only `count` bytes are
// sent), each in checksum groups of 900 bytes (20 lines). After a group's
// checksum "OK" goes on; "RESEND" sends that group's lines and checksum again,
// at most ISP_WRITE_ATTEMPTS sends per group.
// 0 all groups acknowledged; 1 no answer to a "W" or a checksum, an answer
// other than OK/RESEND, RESEND after the last attempt, or a negative count;
// 2 the bootloader rejected a "W".
int nxpWrite(std::uint32_t address, const void* source, std::int32_t count);
