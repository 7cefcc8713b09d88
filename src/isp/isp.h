// Client of the NXP LPC18xx/43xx ROM bootloader's ISP commands, one function
// per command. All of them assume nxpSync returned SYNC_BOOTLOADER
// (synchronised, echo off). Every command line goes out and the first line of
// its answer comes back through ispCommand; a reply that does not come within
// its line budget counts as an empty line. A reply is judged by its first
// character: "0" is success, any other return code is failure.
//
// With the echo on (nxpEchoOn), the bootloader sends back every character it
// receives: each command reads its echo before its answer, and a command
// whose echo differs from what was sent has failed, whatever it was answered.
//
// Each command returns its own family of results, named below with it; the
// commands that only succeed or fail return an IspResult.
#pragma once
#include <cstdint>

#include "isp/link.h"

enum IspResult : int {
    ISP_OK = 0,
    ISP_FAILED = 1,
};

// What ispCommand returns: the bootloader's return code (0 CMD_SUCCESS up to
// 22), or one of these when the answer holds none.
enum IspReturnCode : int {
    ISP_CMD_SUCCESS = 0,
    ISP_COMPARE_ERROR = 10,   // followed by a line with the offset of the first difference
    ISP_NO_ANSWER = -1,       // no complete line came
    ISP_NOT_A_CODE = -2,      // the line does not start with a digit (OK, RESEND, an empty line)
    ISP_ECHO_DIFFERS = -3,    // the echo of the command line differs: it may have reached the
                              //   bootloader damaged (the answer line is still in `reply`)
};

// Sends one command line (`format` as for serialPrintf; CR LF appended) and
// reads the first line of its answer into `reply` (caller-owned, `capacity`
// bytes; empty when no line came). Keeps the exchange in the client's
// lastExchange for the support log and notes a failing return code, with the
// command, there. Returns the return code: the first character "0" counts as
// 0 whatever follows; ISP_ECHO_DIFFERS whatever the answer when the echo was
// on and differed.
IspReturnCode ispCommand(SwitchLink& link, char* reply, int capacity, const char* format, ...);

// "A 1": the bootloader echoes from now on, and every command checks its echo.
// Tolerates the echo of "A 1" itself, which comes when the echo already was
// on. ISP_OK the bootloader took it; ISP_FAILED otherwise (the echo is then
// taken to be off). nxpSync turns it off again.
IspResult nxpEchoOn(SwitchLink& link);
bool ispEchoOn(const SwitchLink& link);
void ispEchoTurnedOff(SwitchLink& link);   // nxpSync's "A 0" was answered

// How often, since the link was set up, the bootloader has shown that bytes
// reached it damaged while its echo was off: a checksum group answered RESEND,
// or a command answered with a failing return code other than a compare's
// difference. Answers that did not come, hold no code, a number beyond the
// bootloader's codes or more than digits are not counted: damage on the way
// back looks the same. With the echo on, every line the bootloader took has
// been checked against its echo, so such reports are not counted.
std::uint32_t ispDamageReports(const SwitchLink& link);

// Reads `count` bytes as nxpRead does, asking again for the whole read (at
// most three times) when it still fails; a spoilt answer is let run out and
// dropped first. Prints nothing: a read that is asked again is no news for the
// user. True when all of them arrived with a matching checksum.
bool nxpReadBack(SwitchLink& link, void* destination, std::uint32_t address, std::int32_t count);

constexpr std::uint32_t ISP_WRITE_PIECE = 4096;                        // data bytes per W command: one flash block
constexpr int UU_LINE_BYTES = 45;                                      // data bytes per UU line
constexpr std::uint32_t ISP_CHUNK = ISP_CHUNK_LINES * UU_LINE_BYTES;   // data bytes per R and per checksum group of a W
constexpr std::uint32_t ISP_UNLOCK_CODE = 23130;
constexpr int ISP_WRITE_ATTEMPTS = 3;   // sends of one chunk's lines before a write gives up

struct PartId {
    std::uint32_t partWord0;     // low 16 bits of the part identification word
    std::uint32_t flashConfig;   // flash configuration word; 0 when it did not answer
};

// "U 23130". ISP_OK unlocked; ISP_FAILED any other answer or none.
IspResult nxpUnlock(SwitchLink& link);

// "G <address> T" (Thumb; the caller clears bit 0). ISP_FAILED only for a
// refusal as the bootloader words it (digits only, 1 to 22); ISP_OK for "0",
// no answer or a spoilt one (a started application may not answer).
IspResult nxpGo(SwitchLink& link, std::uint32_t address);

// "P"/"E" with sectors and bank reduced to 8 bits. ISP_OK answered "0".
IspResult nxpPrepare(SwitchLink& link, unsigned start, unsigned end, unsigned bank);
IspResult nxpErase(SwitchLink& link, unsigned start, unsigned end, unsigned bank);

// What became of a copy. Its echo tells whether the bootloader took the
// command as sent; when it did not, the answer still tells whether it copied.
enum CopyResult : int {
    ISP_COPY_DONE = 0,              // answered "0", the echo (when on) as sent
    ISP_COPY_REFUSED = 1,           // answered with a failing code, or a line without one: nothing was copied
    ISP_COPY_NO_ANSWER = 2,         // no echo or no answer: whether it copied is unknown
    ISP_COPY_DAMAGED_DONE = 3,      // the echo differs and it answered "0": it copied, perhaps
                                    //   other addresses than those sent
    ISP_COPY_DAMAGED_REFUSED = 4,   // the echo differs and it refused: nothing was copied
};

// "C <flash> <ram> <count>". A CopyResult.
CopyResult nxpCopy(SwitchLink& link, std::uint32_t flash, std::uint32_t ram, std::uint32_t count);

enum CompareResult : int {
    ISP_COMPARE_SAME = 0,
    ISP_COMPARE_FAILED = 1,     // any other answer or none, or a damaged echo
    ISP_COMPARE_MISMATCH = 2,   // "10": the bootloader found a difference (its offset line is consumed)
};

// "M <a1> <a2> <count>". A CompareResult.
CompareResult nxpCompare(SwitchLink& link, std::uint32_t address1, std::uint32_t address2, std::uint32_t count);

enum PartIdResult : int {
    PART_ID_READ = 0,         // answered "0" and two lines of digits
    PART_ID_SPOILT = 1,       // answered, but not so: the line may have damaged it
    PART_ID_UNANSWERED = 2,   // no answer line
};

// "J". Fills `out` from the second and third reply lines (their leading
// decimal digits; a missing line gives 0) whatever the result. A PartIdResult.
PartIdResult nxpReadPartId(SwitchLink& link, PartId* out);

// Reads `count` bytes from `address` into `destination` (caller-owned, at
// least `count` bytes), 900 per "R" command. Each command asks for its chunk
// rounded up to a multiple of 4; only the requested bytes are stored, and the
// checksum covers every byte the bootloader sent. A chunk spoilt on its way
// back (no answer or one that is not a code, a damaged echo, a data or
// checksum line missing, a checksum mismatch) is read again by itself, at
// most three more times. Returns `count` on success. 0: a chunk still spoilt
// after that ("Timeout\n" printed on the console when its last try missed a
// line), or a negative count. -total (0 or below): the bootloader refused an
// "R" (a code 1 to 22, digits only); total is what earlier chunks stored.
int nxpRead(SwitchLink& link, void* destination, std::uint32_t address, std::int32_t count);

enum WriteResult : int {
    ISP_WRITE_OK = 0,
    ISP_WRITE_FAILED = 1,
    ISP_WRITE_REJECTED = 2,
};

// Writes `count` bytes from `source` to RAM at `address`, up to 4096 per "W"
// command (announced rounded up to a multiple of 4; only `count` bytes are
// sent), each in checksum groups of 900 bytes (20 lines). After a group's
// checksum "OK" goes on; "RESEND" sends that group's lines and checksum again,
// at most ISP_WRITE_ATTEMPTS sends per group.
// With the echo on, each group's echoes are checked after its checksum was
// answered; a line whose echo differs is read back from RAM once the "W" is
// done, and the piece is written again (at most ISP_WRITE_ATTEMPTS times)
// when RAM shows the damage or cannot be read. RESENDs make the following
// pieces smaller, down to one line per "W"; clean groups make them grow back.
// ISP_WRITE_OK all groups acknowledged; ISP_WRITE_FAILED no answer to a "W"
// or a checksum, an answer other than OK/RESEND, RESEND after the last
// attempt, a piece RAM does not hold after the last attempt, or a negative
// count; ISP_WRITE_REJECTED the bootloader refused a "W".
WriteResult nxpWrite(SwitchLink& link, std::uint32_t address, const void* source, std::int32_t count);
