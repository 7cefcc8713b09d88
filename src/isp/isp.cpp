#include "isp/isp.h"

#include <algorithm>
#include <bit>
#include <cstdarg>
#include <cstring>

#include "format/sinks.h"
#include "format/support_trace.h"
#include "isp/line.h"
#include "isp/uu.h"
#include "link/clock.h"
#include "link/serial.h"

namespace {

constexpr int CODE_CAPACITY = 7;      // return codes: up to 6 characters
constexpr int NUMBER_CAPACITY = 11;   // a 32-bit decimal number
constexpr int LINES_PER_CHUNK = ISP_CHUNK_LINES;
static_assert(ISP_CHUNK == LINES_PER_CHUNK * UU_LINE_BYTES, "one checksum block per R");
static_assert(ISP_WRITE_PIECE % 4 == 0, "a W names a word-aligned address");
constexpr std::uint32_t GROUPS_PER_PIECE = (ISP_WRITE_PIECE + ISP_CHUNK - 1) / ISP_CHUNK;
constexpr int ECHO_CAPACITY = 4 * UU_LINE_CAPACITY;   // room for data lines run together
constexpr int ECHO_SLACK_LINES = 6;                   // checksum, verdict and a few stray line ends
constexpr int CLEAN_GROUPS_TO_GROW = 2;
constexpr int LARGEST_SMALL_GROUP = 8;
constexpr int CLEAN_GROUPS_TO_GROW_WHOLE = 16;
constexpr int SMALL_GROUP_ATTEMPTS = 8;     // sends of a group of fewer than 20 lines: each costs little
constexpr int VERDICT_NUDGES = 6;           // a damaged length character can leave 45 bytes to come
constexpr unsigned VERDICT_WAIT_MS = 100;   // a verdict follows the echo of its checksum at once
constexpr int ECHO_REPEATS = 3;             // sends of a command that may go again harmlessly
constexpr int READBACK_ATTEMPTS = 3;
constexpr unsigned READBACK_SETTLE_MS = 20;

enum ChunkAnswer { CHUNK_OK, CHUNK_RESEND, CHUNK_FAILED };
constexpr int PIECE_AGAIN = -1;   // a "W" refused as damaged: send it again

constexpr const char* RETURN_CODE_NAMES[] = {
    "CMD_SUCCESS",
    "INVALID_COMMAND",
    "SRC_ADDR_ERROR",
    "DST_ADDR_ERROR",
    "SRC_ADDR_NOT_MAPPED",
    "DST_ADDR_NOT_MAPPED",
    "COUNT_ERROR",
    "INVALID_SECTOR",
    "SECTOR_NOT_BLANK",
    "SECTOR_NOT_PREPARED_FOR_WRITE_OPERATION",
    "COMPARE_ERROR",
    "BUSY",
    "PARAM_ERROR",
    "ADDR_ERROR",
    "ADDR_NOT_MAPPED",
    "CMD_LOCKED",
    "INVALID_CODE",
    "INVALID_BAUD_RATE",
    "INVALID_STOP_BIT",
    "CODE_READ_PROTECTION_ENABLED",
    "INVALID_FLASH_UNIT",
    "USER_CODE_CHECKSUM",
    "ERROR_SETTING_ACTIVE_PARTITION",
};
constexpr int RETURN_CODE_COUNT = sizeof RETURN_CODE_NAMES / sizeof RETURN_CODE_NAMES[0];
static_assert(RETURN_CODE_COUNT == 23, "one name for each of the bootloader's return codes 0 to 22");

// The leading decimal digits of a reply line, modulo 2^32; none give 0.
std::uint32_t decimalValue(const char* text) {
    std::uint32_t value = 0;
    for (; *text >= '0' && *text <= '9'; ++text) value = value * 10 + static_cast<std::uint32_t>(*text - '0');
    return value;
}

int returnCode(const char* reply, int length) {
    if (length < 0) return ISP_NO_ANSWER;
    if (reply[0] == '0') return ISP_CMD_SUCCESS;
    if (reply[0] < '0' || reply[0] > '9') return ISP_NOT_A_CODE;
    return static_cast<int>(std::min<std::uint32_t>(decimalValue(reply), INT32_MAX));
}

void noteFailure(SwitchLink& link, const IspExchange& exchange) {
    const int code = exchange.returnCode;
    if (exchange.echoDiffers) traceNote(link.traceTag, "\"%s\": its echo differs", exchange.command);
    if (code == ISP_CMD_SUCCESS || code == ISP_NOT_A_CODE) return;
    if (code == ISP_NO_ANSWER)
        traceNote(link.traceTag, "\"%s\" got no answer", exchange.command);
    else if (code < RETURN_CODE_COUNT)
        traceNote(link.traceTag, "\"%s\" failed: %d %s", exchange.command, code, RETURN_CODE_NAMES[code]);
    else
        traceNote(link.traceTag, "\"%s\" failed: %d", exchange.command, code);
}

// A code this program's commands earn only when the bootloader got them
// wrong. A compare's difference is an answer, not damage; a number beyond the
// bootloader's codes, or a line with more than digits, was spoilt on its way back.
bool showsDamageReceived(int code, const char* reply) {
    if (code <= ISP_CMD_SUCCESS || code >= RETURN_CODE_COUNT || code == ISP_COMPARE_ERROR) return false;
    return reply[std::strspn(reply, "0123456789")] == '\0';
}

// A command that may harmlessly go again is sent again while its echo comes
// back damaged and an answer came: what the bootloader took is unknown.
bool sendAgain(int code, const char* reply, int* sends) {
    return code == ISP_ECHO_DIFFERS && reply[0] != '\0' && ++*sends < ECHO_REPEATS;
}

// Every command but Compare and Part ID: one return-code line, "0" or failure.
int commandResult(int code) {
    return code == ISP_CMD_SUCCESS ? ISP_OK : ISP_FAILED;
}

std::uint32_t roundUpToWord(std::uint32_t count) {
    return (count + 3) & ~3u;
}

std::uint32_t byteSum(const std::uint8_t* bytes, std::uint32_t count) {
    std::uint32_t sum = 0;
    for (std::uint32_t i = 0; i < count; ++i) sum += bytes[i];
    return sum;
}

// Data lines go out several to a write: each write waits until its bytes have
// left, and a real UART then idles until the next one is handed over. A burst
// stays short of the 1000 ms write bound at either rate.
constexpr std::uint32_t BURST_MS = 100;
constexpr std::uint32_t LINE_WIRE_BITS = (UU_LINE_CAPACITY - 1 + 2) * BITS_PER_CHARACTER;   // 61 characters, CR LF

int linesPerWrite(SwitchLink& link) {
    std::uint32_t lines = link.port.baud / 1000 * BURST_MS / LINE_WIRE_BITS;
    return static_cast<int>(std::clamp<std::uint32_t>(lines, 1, LINES_PER_CHUNK));
}

// Formats a command into link.isp.lastExchange and sends it with CR LF. Returns its length.
int sendCommandV(SwitchLink& link, const char* format, std::va_list args) {
    TextBuffer command;
    textBufferInit(&command, link.isp.lastExchange.command, ISP_COMMAND_CAPACITY);
    textBufferVPrintf(&command, format, args);
    char line[ISP_COMMAND_CAPACITY + 2];
    std::memcpy(line, command.storage, command.length);
    std::memcpy(line + command.length, "\r\n", 2);
    if (linkStopped(link)) return command.length;
    traceSent(link.traceTag, line, command.length + 2);
    comWrite(&link.port, line, command.length + 2);
    return command.length;
}

int sendCommand(SwitchLink& link, const char* format, ...) {
    std::va_list args;
    va_start(args, format);
    const int length = sendCommandV(link, format, args);
    va_end(args);
    return length;
}

enum EchoCheck { ECHO_SAME, ECHO_DIFFERS, ECHO_MISSING };

bool sameBytes(const char* echo, int length, const char* sent, int sentLength) {
    return length == sentLength && std::memcmp(echo, sent, static_cast<std::size_t>(length)) == 0;
}

EchoCheck readEcho(SwitchLink& link, const char* sent, int length) {
    char echo[ECHO_CAPACITY];
    const int got = readEchoLine(link, echo, ECHO_CAPACITY);
    if (got < 0) {
        traceNoAnswer(link.traceTag);
        return ECHO_MISSING;
    }
    traceReceived(link.traceTag, echo);
    return sameBytes(echo, got, sent, length) ? ECHO_SAME : ECHO_DIFFERS;
}

// The echo of a command (with the echo on), then the first line of its answer.
int takeAnswer(SwitchLink& link, char* reply, int capacity, int sentLength) {
    const EchoCheck echo = link.isp.echoMode ? readEcho(link, link.isp.lastExchange.command, sentLength) : ECHO_SAME;
    int length = -1;
    if (echo == ECHO_MISSING)
        reply[0] = '\0';   // the line's CR never reached the bootloader, or it is silent
    else
        length = readLineCr(link, reply, capacity);
    link.isp.lastExchange.returnCode = returnCode(reply, length);
    link.isp.lastExchange.echoDiffers = echo == ECHO_DIFFERS;
    noteFailure(link, link.isp.lastExchange);
    if (link.isp.lastExchange.echoDiffers) return ISP_ECHO_DIFFERS;
    if (!link.isp.echoMode && showsDamageReceived(link.isp.lastExchange.returnCode, reply)) ++link.isp.damageReports;
    return link.isp.lastExchange.returnCode;
}

// One checksum group as it goes on the wire: UU lines with CR LF.
struct GroupText {
    char text[LINES_PER_CHUNK * (UU_LINE_CAPACITY + 1)];
    int starts[LINES_PER_CHUNK + 1];   // line i: text[starts[i]] up to its CR LF before starts[i + 1]
    int lines;
};

void encodeGroup(const std::uint8_t* bytes, std::uint32_t count, GroupText* group) {
    char* end = group->text;
    group->lines = 0;
    for (std::uint32_t sent = 0; sent < count;) {
        const std::uint32_t n = std::min<std::uint32_t>(count - sent, UU_LINE_BYTES);
        group->starts[group->lines++] = static_cast<int>(end - group->text);
        end = uuEncodeLine(end, bytes + sent, static_cast<int>(n));
        std::memcpy(end, "\r\n", 2);
        end += 2;
        sent += n;
    }
    group->starts[group->lines] = static_cast<int>(end - group->text);
}

void sendLines(SwitchLink& link, const GroupText& group) {
    const int burst = linesPerWrite(link);
    if (linkStopped(link)) return;
    for (int first = 0; first < group.lines; first += burst) {
        const int last = std::min(group.lines, first + burst);
        comWrite(&link.port, group.text + group.starts[first], group.starts[last] - group.starts[first]);
    }
}

// The printable bytes of a raw line, as the line reader keeps them.
void keepPrintable(char* answer, const char* line, int length) {
    int kept = 0;
    for (int i = 0; i < length && kept < CODE_CAPACITY - 1; ++i)
        if (line[i] >= 0x20 && line[i] <= 0x7E) answer[kept++] = line[i];
    answer[kept] = '\0';
}

bool isVerdict(const char* line, int length) {
    return sameBytes(line, length, "OK", 2) || sameBytes(line, length, "RESEND", 6);
}

// The first line from `next` on that this echo repeats, or -1.
int echoedLine(const GroupText& group, int next, const char* echo, int length) {
    for (int line = next; line < group.lines; ++line) {
        const int start = group.starts[line];
        if (sameBytes(echo, length, group.text + start, group.starts[line + 1] - start - 2)) return line;
    }
    return -1;
}

std::uint32_t linesBetween(int first, int end) {
    std::uint32_t mask = 0;
    for (int line = first; line < end; ++line) mask |= 1u << line;
    return mask;
}

// Reads the echoes of a group's lines and of its checksum, then the
// bootloader's verdict into `answer`. A line whose echo did not come back as
// sent is marked in `suspect`; echoes are matched in order, so a lost or an
// extra CR on the way back costs only the lines it touches. A verdict that
// comes while lines are still echoing is not the group's. False when no
// verdict came.
bool readGroupEchoes(SwitchLink& link, const GroupText& group, const char* checksum, char* answer,
                     std::uint32_t* suspect, unsigned budgetMs = LINE_TIMEOUT_MS) {
    int next = 0;
    bool checksumEchoed = false;
    for (int read = 0; read < group.lines + ECHO_SLACK_LINES; ++read) {
        char echo[ECHO_CAPACITY];
        const int length = readEchoLine(link, echo, ECHO_CAPACITY, checksumEchoed ? VERDICT_WAIT_MS : budgetMs);
        if (length < 0) break;
        const bool verdict = isVerdict(echo, length);
        if (checksumEchoed || (verdict && next >= group.lines)) {
            keepPrintable(answer, echo, length);
            traceReceived(link.traceTag, answer);
            *suspect |= linesBetween(next, group.lines);
            return true;
        }
        if (verdict) {
            // A damaged length character made the bootloader count the group
            // whole too early: it has started over on the lines still coming.
            traceNote(link.traceTag, "an answer before the group was all sent");
            *suspect = linesBetween(0, group.lines);
            link.isp.outOfStep = true;
            continue;
        }
        const int line = echoedLine(group, next, echo, length);
        if (line >= 0) {
            *suspect |= linesBetween(next, line);
            next = line + 1;
        } else if (sameBytes(echo, length, checksum, static_cast<int>(std::strlen(checksum)))) {
            checksumEchoed = true;
        }
    }
    traceNoAnswer(link.traceTag);
    return false;
}

// No verdict: a line end or length character damaged on the way left the
// bootloader short of the group's bytes, so it took the checksum for data.
// The checksum again, until it is taken as one, ends the group, most likely
// with RESEND; should it pass, every line is read back from RAM.
bool nudgeForVerdict(SwitchLink& link, char* reply) {
    link.isp.outOfStep = true;
    GroupText none;
    none.lines = 0;
    none.starts[0] = 0;
    for (int nudge = 0; nudge < VERDICT_NUDGES; ++nudge) {
        char checksum[ISP_COMMAND_CAPACITY];
        std::memcpy(checksum, link.isp.lastExchange.command, sizeof checksum);
        sendCommand(link, "%s", checksum);
        std::uint32_t unused = 0;
        if (readGroupEchoes(link, none, checksum, reply, &unused, VERDICT_WAIT_MS)) return true;
    }
    return false;
}

// Sends one group as UU lines with CR LF, then its checksum, and judges the
// bootloader's verdict on it; with the echo on, lines whose echo differed are
// marked in `suspect`.
ChunkAnswer sendChunk(SwitchLink& link, const std::uint8_t* bytes, std::uint32_t count, std::uint32_t checksum,
                      std::uint32_t* suspect) {
    if (link.isp.outOfStep) {   // what is still on its way belongs to the group before
        msDelay(VERDICT_WAIT_MS);
        drainInput(link);
        link.isp.outOfStep = false;
    }
    GroupText group;
    encodeGroup(bytes, count, &group);
    sendLines(link, group);
    traceNote(link.traceTag, "sent %d data lines, %u bytes", group.lines, count);
    char reply[CODE_CAPACITY];
    if (link.isp.echoMode) {
        sendCommand(link, "%u", checksum);
        if (!readGroupEchoes(link, group, link.isp.lastExchange.command, reply, suspect)) {
            *suspect = linesBetween(0, group.lines);
            if (!nudgeForVerdict(link, reply)) reply[0] = '\0';
        }
        if (*suspect != 0)
            traceNote(link.traceTag, "the echo of %d of %d lines differs", std::popcount(*suspect), group.lines);
    } else {
        ispCommand(link, reply, CODE_CAPACITY, "%u", checksum);
    }
    if (std::strcmp(reply, "OK") == 0) return CHUNK_OK;
    if (std::strcmp(reply, "RESEND") == 0) {
        if (!link.isp.echoMode) ++link.isp.damageReports;
        return CHUNK_RESEND;
    }
    return CHUNK_FAILED;
}

// Groups asked for again make the next pieces smaller, so that a group gets
// through a line that damages a byte in a thousand; clean ones let them grow,
// quickly while small (every piece costs a turn), back to whole blocks only
// once the line has been clean for a while.
void adaptGroups(SwitchLink& link, ChunkAnswer answer) {
    if (!link.isp.echoMode || answer == CHUNK_FAILED) return;
    if (answer == CHUNK_RESEND) {
        link.isp.groupLines = std::max(1, link.isp.groupLines / 2);
        link.isp.cleanGroups = 0;
        return;
    }
    if (link.isp.groupLines == LINES_PER_CHUNK) return;
    const bool small = link.isp.groupLines < LARGEST_SMALL_GROUP;
    if (++link.isp.cleanGroups < (small ? CLEAN_GROUPS_TO_GROW : CLEAN_GROUPS_TO_GROW_WHOLE)) return;
    link.isp.groupLines = small ? std::min(LARGEST_SMALL_GROUP, link.isp.groupLines * 2) : LINES_PER_CHUNK;
    link.isp.cleanGroups = 0;
}

// Each group of up to 20 lines is judged on its own; RESEND repeats just
// that group, as the bootloader rewinds to the group's start.
int writeGroup(SwitchLink& link, const std::uint8_t* bytes, std::uint32_t count, std::uint32_t* suspect) {
    const std::uint32_t checksum = byteSum(bytes, count);
    const int attempts = count < ISP_CHUNK && link.isp.echoMode ? SMALL_GROUP_ATTEMPTS : ISP_WRITE_ATTEMPTS;
    for (int attempt = 0; attempt < attempts; ++attempt) {
        *suspect = 0;
        const ChunkAnswer answer = sendChunk(link, bytes, count, checksum, suspect);
        adaptGroups(link, answer);
        if (answer == CHUNK_OK) return ISP_OK;
        if (answer == CHUNK_FAILED) return ISP_FAILED;
    }
    return ISP_FAILED;
}

// Bytes per "W": a whole block, or one smaller group while groups are asked
// for again. A count a multiple of 4, as the bootloader wants.
std::uint32_t pieceBytes(SwitchLink& link) {
    if (link.isp.groupLines == LINES_PER_CHUNK) return ISP_WRITE_PIECE;
    return static_cast<std::uint32_t>(link.isp.groupLines * UU_LINE_BYTES) & ~3u;
}

// Lines whose echo differed, one mask per group of a piece.
struct Suspects {
    std::uint32_t lines[GROUPS_PER_PIECE];
};

// One "W" for the whole piece: every command costs a turn, and on a USB
// adapter each turn waits for its latency timer.
int sendPiece(SwitchLink& link, std::uint32_t address, const std::uint8_t* bytes, std::uint32_t count,
              Suspects* suspects) {
    char reply[CODE_CAPACITY];
    const int code = ispCommand(link, reply, CODE_CAPACITY, "W %u %u", address, roundUpToWord(count));
    if (reply[0] == '\0') return ISP_FAILED;
    // A damaged "W" that was refused is simply sent again; one that was taken
    // left the bootloader waiting for data of an unknown place and size.
    if (code == ISP_ECHO_DIFFERS) return reply[0] == '0' ? ISP_FAILED : PIECE_AGAIN;
    if (code != ISP_CMD_SUCCESS) return ISP_WRITE_REJECTED;
    // A data line damaged on the way is answered RESEND; ignoring it would
    // leave the damage in RAM, where the later compare could not see it.
    for (std::uint32_t sent = 0, group = 0; sent < count; sent += ISP_CHUNK, ++group) {
        if (writeGroup(link, bytes + sent, std::min(count - sent, ISP_CHUNK), &suspects->lines[group]) != ISP_OK)
            return ISP_FAILED;
    }
    return ISP_OK;
}

// Whether RAM holds bytes [from, to) of the piece as sent.
bool ramHolds(SwitchLink& link, std::uint32_t address, const std::uint8_t* bytes, std::uint32_t from,
              std::uint32_t to) {
    std::uint8_t seen[ISP_CHUNK + 4];
    const auto span = static_cast<std::int32_t>(to - from);
    if (!nxpReadBack(link, seen, address + from, span)) return false;
    const bool same = std::memcmp(seen, bytes + from, static_cast<std::size_t>(span)) == 0;
    traceNote(link.traceTag,
              same ? "RAM at 0x%08X holds what was sent: only the echo was damaged"
                   : "RAM at 0x%08X differs from what was sent",
              static_cast<unsigned>(address + from));
    return same;
}

// A damaged echo does not tell which way the damage went: each run of lines
// whose echo differed is read back from RAM (from a word boundary, as "R" wants).
bool ramHoldsSuspects(SwitchLink& link, std::uint32_t address, const std::uint8_t* bytes, std::uint32_t count,
                      const Suspects& suspects) {
    for (std::uint32_t group = 0; group < GROUPS_PER_PIECE; ++group) {
        const std::uint32_t mask = suspects.lines[group];
        for (int line = 0; line < LINES_PER_CHUNK; ++line) {
            if ((mask >> line & 1u) == 0) continue;
            const int first = line;
            while (line + 1 < LINES_PER_CHUNK && (mask >> (line + 1) & 1u) != 0) ++line;
            const std::uint32_t start = group * ISP_CHUNK;
            const std::uint32_t from = (start + static_cast<std::uint32_t>(first) * UU_LINE_BYTES) & ~3u;
            const std::uint32_t to = std::min(count, start + static_cast<std::uint32_t>(line + 1) * UU_LINE_BYTES);
            if (!ramHolds(link, address, bytes, from, to)) return false;
        }
    }
    return true;
}

int writePiece(SwitchLink& link, std::uint32_t address, const std::uint8_t* bytes, std::uint32_t count) {
    for (int attempt = 0; attempt < ISP_WRITE_ATTEMPTS; ++attempt) {
        Suspects suspects{};
        const int result = sendPiece(link, address, bytes, count, &suspects);
        if (result == PIECE_AGAIN) continue;
        if (result != ISP_OK) return result;
        if (ramHoldsSuspects(link, address, bytes, count, suspects)) return ISP_OK;
    }
    return ISP_FAILED;
}

void skipEcho(SwitchLink& link) {
    char echo[ECHO_CAPACITY];
    readEchoLine(link, echo, ECHO_CAPACITY);
}

// A read cut short can leave the bootloader waiting for the "OK" after its
// checksum, where it would take the next command for it. One sent to a
// bootloader that is not waiting earns an error code, dropped with the rest.
void abandonRead(SwitchLink& link, std::int32_t span) {
    sendText(link, "OK\r\n");
    // UU lines carry a third more characters, their ends and the checksum a little more.
    const auto characters = static_cast<unsigned>(span) * 3 / 2 + 16;
    msDelay(READBACK_SETTLE_MS + wireMs(link, characters));   // let the rest of a spoilt answer arrive
    drainInput(link);
}

struct ChunkData {
    bool complete;         // every data line arrived
    std::uint32_t bytes;   // bytes the lines carried
    std::uint32_t sum;     // their checksum
    int lines;             // complete lines read
};

// Reads the data lines of one "R": `announced` bytes come (the chunk rounded
// up to a word), of which the first `count` are stored. One checksum block
// holds at most 20 lines, so a peer sending short lines cannot hold us.
ChunkData readChunkData(SwitchLink& link, std::uint8_t* destination, std::uint32_t count, std::uint32_t announced) {
    char line[UU_LINE_CAPACITY];
    std::uint8_t bytes[64];   // the most a length character can claim
    ChunkData data{true, 0, 0, 0};
    for (; data.bytes < announced && data.lines < LINES_PER_CHUNK; ++data.lines) {
        if (readDataLineCr(link, line, UU_LINE_CAPACITY) < 1) {
            data.complete = false;
            return data;
        }
        std::uint32_t room = announced - data.bytes;
        int limit = static_cast<int>(std::min<std::uint32_t>(room, sizeof bytes));
        auto n = static_cast<std::uint32_t>(uuDecodeLine(bytes, line, limit));
        if (data.bytes < count) std::memcpy(destination + data.bytes, bytes, std::min(count - data.bytes, n));
        data.sum += byteSum(bytes, n);
        data.bytes += n;
    }
    return data;
}

// One "R" command. Returns 1 read and checked; 0 missing line, short data or
// bad checksum; -1 rejected by the bootloader.
int readChunk(SwitchLink& link, std::uint8_t* destination, std::uint32_t address, std::uint32_t count, bool quiet) {
    std::uint32_t announced = roundUpToWord(count);
    char reply[CODE_CAPACITY];
    const int code = ispCommand(link, reply, CODE_CAPACITY, "R %u %u", address, announced);
    if (reply[0] == '\0') return 0;
    if (code != ISP_CMD_SUCCESS) return -1;
    ChunkData data = readChunkData(link, destination, count, announced);
    traceNote(link.traceTag, "received %d data lines, %u bytes", data.lines, data.bytes);
    if (!data.complete || readLineCr(link, reply, CODE_CAPACITY) < 1) {
        if (!quiet) sinkPrintf(link.out, "Timeout\n");
        return 0;
    }
    // Acknowledged whatever the comparison gives: a bad chunk fails the read
    // rather than being asked for again.
    sendText(link, "OK\r\n");
    if (link.isp.echoMode) skipEcho(link);
    const bool sumMatches = decimalValue(reply) == data.sum;
    if (!sumMatches) traceNote(link.traceTag, "the data lines sum to %u", data.sum);
    return data.bytes == announced && sumMatches ? 1 : 0;
}

int readChunks(SwitchLink& link, void* destination, std::uint32_t address, std::int32_t count, bool quiet) {
    if (count < 0) return 0;
    auto* bytes = static_cast<std::uint8_t*>(destination);
    auto left = static_cast<std::uint32_t>(count);
    std::int32_t total = 0;
    while (left != 0) {
        std::uint32_t chunk = std::min(left, ISP_CHUNK);
        int result = readChunk(link, bytes + total, address, chunk, quiet);
        if (result < 0) return -total;
        if (result == 0) return 0;
        total += static_cast<std::int32_t>(chunk);
        address += chunk;
        left -= chunk;
    }
    return total;
}

}   // namespace

int ispCommand(SwitchLink& link, char* reply, int capacity, const char* format, ...) {
    std::va_list args;
    va_start(args, format);
    const int length = sendCommandV(link, format, args);
    va_end(args);
    return takeAnswer(link, reply, capacity, length);
}

int nxpEchoOn(SwitchLink& link) {
    const bool wasOn = link.isp.echoMode;
    link.isp.echoMode = false;
    char reply[CODE_CAPACITY];
    ispCommand(link, reply, CODE_CAPACITY, "A 1");
    // The bootloader echoes "A 1" itself only when its echo was on already.
    if (std::strcmp(reply, "A 1") == 0) {
        link.isp.lastExchange.returnCode = returnCode(reply, readLineCr(link, reply, CODE_CAPACITY));
        noteFailure(link, link.isp.lastExchange);
    }
    link.isp.echoMode = link.isp.lastExchange.returnCode == ISP_CMD_SUCCESS || wasOn;
    if (!wasOn) {   // a new pass: whole blocks until the line shows damage
        link.isp.groupLines = LINES_PER_CHUNK;
        link.isp.cleanGroups = 0;
    }
    return link.isp.lastExchange.returnCode == ISP_CMD_SUCCESS ? ISP_OK : ISP_FAILED;
}

bool ispEchoOn(const SwitchLink& link) {
    return link.isp.echoMode;
}

void ispEchoTurnedOff(SwitchLink& link) {
    link.isp.echoMode = false;
}

bool nxpReadBack(SwitchLink& link, void* destination, std::uint32_t address, std::int32_t count) {
    for (int attempt = 0; attempt < READBACK_ATTEMPTS; ++attempt) {
        if (readChunks(link, destination, address, count, true) == count) return true;
        abandonRead(link, count);
    }
    return false;
}

std::uint32_t ispDamageReports(const SwitchLink& link) {
    return link.isp.damageReports;
}

int nxpUnlock(SwitchLink& link) {
    char reply[CODE_CAPACITY];
    int code = 0, sends = 0;
    do code = ispCommand(link, reply, CODE_CAPACITY, "U %u", ISP_UNLOCK_CODE);
    while (sendAgain(code, reply, &sends));
    return commandResult(code);
}

int nxpGo(SwitchLink& link, std::uint32_t address) {
    char reply[CODE_CAPACITY];
    ispCommand(link, reply, CODE_CAPACITY, "G %u T", address);
    if (reply[0] != '\0' && reply[0] != '0') return ISP_FAILED;
    link.isp.echoMode = false;   // the application runs
    return ISP_OK;
}

int nxpPrepare(SwitchLink& link, unsigned start, unsigned end, unsigned bank) {
    char reply[CODE_CAPACITY];
    int code = 0, sends = 0;
    do code = ispCommand(link, reply, CODE_CAPACITY, "P %u %u %u", start & 0xFFu, end & 0xFFu, bank & 0xFFu);
    while (sendAgain(code, reply, &sends));
    return commandResult(code);
}

int nxpErase(SwitchLink& link, unsigned start, unsigned end, unsigned bank) {
    char reply[CODE_CAPACITY];
    return commandResult(
        ispCommand(link, reply, CODE_CAPACITY, "E %u %u %u", start & 0xFFu, end & 0xFFu, bank & 0xFFu));
}

int nxpCopy(SwitchLink& link, std::uint32_t flash, std::uint32_t ram, std::uint32_t count) {
    char reply[CODE_CAPACITY];
    return commandResult(ispCommand(link, reply, CODE_CAPACITY, "C %u %u %u", flash, ram, count));
}

int nxpCompare(SwitchLink& link, std::uint32_t address1, std::uint32_t address2, std::uint32_t count) {
    char reply[NUMBER_CAPACITY];
    int code = 0, sends = 0;
    bool differs = false;
    do {
        code = ispCommand(link, reply, NUMBER_CAPACITY, "M %u %u %u", address1, address2, count);
        differs = std::strncmp(reply, "10", 2) == 0;
        if (differs) readLineCr(link, reply, NUMBER_CAPACITY);   // offset of the first difference
    } while (sendAgain(code, differs ? "10" : reply, &sends));
    if (code == ISP_CMD_SUCCESS) return ISP_OK;
    // With a damaged echo the answer may be about other addresses.
    return differs && code != ISP_ECHO_DIFFERS ? ISP_COMPARE_MISMATCH : ISP_FAILED;
}

int nxpReadPartId(SwitchLink& link, PartId* out) {
    char reply[NUMBER_CAPACITY];
    ispCommand(link, reply, NUMBER_CAPACITY, "J");   // return code
    readLineCr(link, reply, NUMBER_CAPACITY);
    out->partWord0 = decimalValue(reply) & 0xFFFFu;
    readLineCr(link, reply, NUMBER_CAPACITY);
    out->flashConfig = decimalValue(reply);
    return ISP_OK;
}

int nxpRead(SwitchLink& link, void* destination, std::uint32_t address, std::int32_t count) {
    return readChunks(link, destination, address, count, false);
}

int nxpWrite(SwitchLink& link, std::uint32_t address, const void* source, std::int32_t count) {
    if (count < 0) return ISP_FAILED;
    const auto* bytes = static_cast<const std::uint8_t*>(source);
    auto left = static_cast<std::uint32_t>(count);
    while (left != 0) {
        std::uint32_t chunk = std::min(left, pieceBytes(link));
        int result = writePiece(link, address, bytes, chunk);
        if (result != ISP_OK) return result;
        bytes += chunk;
        address += chunk;
        left -= chunk;
    }
    return ISP_OK;
}
