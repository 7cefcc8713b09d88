// The echoed write: a "W" per piece, its data lines in checksum groups, each
// group's echoes matched line by line, and RAM read back where they differed.
#include <algorithm>
#include <bit>
#include <cstring>

#include "format/support_trace.h"
#include "isp/client.h"
#include "isp/line.h"
#include "link/clock.h"
#include "link/serial.h"

namespace {

constexpr int LINES_PER_CHUNK = ISP_CHUNK_LINES;
static_assert(ISP_CHUNK == LINES_PER_CHUNK * UU_LINE_BYTES, "one checksum block per R");
static_assert(ISP_WRITE_PIECE % 4 == 0, "a W names a word-aligned address");
constexpr std::uint32_t GROUPS_PER_PIECE = (ISP_WRITE_PIECE + ISP_CHUNK - 1) / ISP_CHUNK;
constexpr int ECHO_SLACK_LINES = 6;   // checksum, verdict and a few stray line ends
constexpr int CLEAN_GROUPS_TO_GROW = 2;
constexpr int LARGEST_SMALL_GROUP = 8;
constexpr int CLEAN_GROUPS_TO_GROW_WHOLE = 16;
constexpr int SMALL_GROUP_ATTEMPTS = 8;     // sends of a group of fewer than 20 lines: each costs little
constexpr int VERDICT_NUDGES = 6;           // a damaged length character can leave 45 bytes to come
constexpr unsigned VERDICT_WAIT_MS = 100;   // a verdict follows the echo of its checksum at once

enum ChunkAnswer { CHUNK_OK, CHUNK_RESEND, CHUNK_FAILED };
// What became of one "W" and its groups.
enum PieceSent { PIECE_SENT, PIECE_AGAIN, PIECE_FAILED, PIECE_REFUSED };

// Data lines go out several to a write: each write waits until its bytes have
// left, and a real UART then idles until the next one is handed over. A burst
// stays short of the 1000 ms write bound at either rate.
constexpr std::uint32_t BURST_MS = 100;
constexpr std::uint32_t LINE_WIRE_BITS = (UU_LINE_CAPACITY - 1 + 2) * BITS_PER_CHARACTER;   // 61 characters, CR LF

int linesPerWrite(SwitchLink& link) {
    std::uint32_t lines = link.port.baud / 1000 * BURST_MS / LINE_WIRE_BITS;
    return static_cast<int>(std::clamp<std::uint32_t>(lines, 1, LINES_PER_CHUNK));
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

// Reads the echoes of a group's lines and of its checksum, all by one
// deadline, then the bootloader's verdict into `answer`. A line whose echo did
// not come back as sent is marked in `suspect`; echoes are matched in order,
// so a lost or an extra CR on the way back costs only the lines it touches. A
// verdict that comes while lines are still echoing is not the group's. False
// when no verdict came.
bool readGroupEchoes(SwitchLink& link, const GroupText& group, const char* checksum, char* answer,
                     std::uint32_t* suspect, Deadline echoes) {
    int next = 0;
    bool checksumEchoed = false;
    for (int read = 0; read < group.lines + ECHO_SLACK_LINES; ++read) {
        char echo[ECHO_CAPACITY];
        const int length = checksumEchoed ? readEchoLine(link, echo, ECHO_CAPACITY, deadlineIn(VERDICT_WAIT_MS))
                                          : readEchoLine(link, echo, ECHO_CAPACITY, echoes);
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
        if (readGroupEchoes(link, none, checksum, reply, &unused, deadlineIn(VERDICT_WAIT_MS))) return true;
    }
    return false;
}

// The echoes of a group come back about as fast as its lines went out; the
// lines may still be on their way when the echoes are awaited.
Deadline echoDeadline(SwitchLink& link, const GroupText& group) {
    return deadlineIn(LINE_TIMEOUT_MS +
                      wireMs(link, static_cast<unsigned>(group.starts[group.lines]) + NUMBER_CAPACITY));
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
        if (!readGroupEchoes(link, group, link.isp.lastExchange.command, reply, suspect, echoDeadline(link, group))) {
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
bool writeGroup(SwitchLink& link, const std::uint8_t* bytes, std::uint32_t count, std::uint32_t* suspect) {
    const std::uint32_t checksum = byteSum(bytes, count);
    const int attempts = count < ISP_CHUNK && link.isp.echoMode ? SMALL_GROUP_ATTEMPTS : ISP_WRITE_ATTEMPTS;
    for (int attempt = 0; attempt < attempts; ++attempt) {
        *suspect = 0;
        const ChunkAnswer answer = sendChunk(link, bytes, count, checksum, suspect);
        adaptGroups(link, answer);
        if (answer == CHUNK_OK) return true;
        if (answer == CHUNK_FAILED) return false;
    }
    return false;
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
PieceSent sendPiece(SwitchLink& link, std::uint32_t address, const std::uint8_t* bytes, std::uint32_t count,
                    Suspects* suspects) {
    char reply[CODE_CAPACITY];
    const IspReturnCode code = ispCommand(link, reply, CODE_CAPACITY, "W %u %u", address, roundUpToWord(count));
    if (reply[0] == '\0') return PIECE_FAILED;
    // A damaged "W" that was refused is simply sent again; one that was taken
    // left the bootloader waiting for data of an unknown place and size.
    if (code == ISP_ECHO_DIFFERS) return reply[0] == '0' ? PIECE_FAILED : PIECE_AGAIN;
    if (code != ISP_CMD_SUCCESS) return PIECE_REFUSED;
    // A data line damaged on the way is answered RESEND; ignoring it would
    // leave the damage in RAM, where the later compare could not see it.
    for (std::uint32_t sent = 0, group = 0; sent < count; sent += ISP_CHUNK, ++group) {
        if (!writeGroup(link, bytes + sent, std::min(count - sent, ISP_CHUNK), &suspects->lines[group]))
            return PIECE_FAILED;
    }
    return PIECE_SENT;
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

WriteResult writePiece(SwitchLink& link, std::uint32_t address, const std::uint8_t* bytes, std::uint32_t count) {
    for (int attempt = 0; attempt < ISP_WRITE_ATTEMPTS; ++attempt) {
        Suspects suspects{};
        const PieceSent sent = sendPiece(link, address, bytes, count, &suspects);
        if (sent == PIECE_AGAIN) continue;
        if (sent == PIECE_REFUSED) return ISP_WRITE_REJECTED;
        if (sent == PIECE_FAILED) return ISP_WRITE_FAILED;
        if (ramHoldsSuspects(link, address, bytes, count, suspects)) return ISP_WRITE_OK;
    }
    return ISP_WRITE_FAILED;
}

}   // namespace

WriteResult nxpWrite(SwitchLink& link, std::uint32_t address, const void* source, std::int32_t count) {
    if (count < 0) return ISP_WRITE_FAILED;
    const auto* bytes = static_cast<const std::uint8_t*>(source);
    auto left = static_cast<std::uint32_t>(count);
    while (left != 0) {
        std::uint32_t chunk = std::min(left, pieceBytes(link));
        const WriteResult result = writePiece(link, address, bytes, chunk);
        if (result != ISP_WRITE_OK) return result;
        bytes += chunk;
        address += chunk;
        left -= chunk;
    }
    return ISP_WRITE_OK;
}
