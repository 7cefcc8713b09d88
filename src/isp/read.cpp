// The read: an "R" per chunk of 900 bytes, its data lines and checksum
// against one deadline, and reading back with a spoilt answer asked again.
#include <algorithm>
#include <cstring>

#include "format/sinks.h"
#include "format/support_trace.h"
#include "isp/client.h"
#include "isp/line.h"
#include "link/clock.h"

namespace {

constexpr int READBACK_ATTEMPTS = 3;
constexpr int CHUNK_REREADS = 3;   // "R"s after the first for one chunk before the read fails
constexpr unsigned READBACK_SETTLE_MS = 20;

// Characters `bytes` take as UU lines: a third more, their ends and the checksum a little more.
unsigned uuWireCharacters(std::uint32_t bytes) {
    return bytes * 3 / 2 + 16;
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
    // let the rest of a spoilt answer arrive
    msDelay(READBACK_SETTLE_MS + wireMs(link, uuWireCharacters(static_cast<std::uint32_t>(span))));
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
ChunkData readChunkData(SwitchLink& link, std::uint8_t* destination, std::uint32_t count, std::uint32_t announced,
                        Deadline deadline) {
    char line[UU_LINE_CAPACITY];
    std::uint8_t bytes[64];   // the most a length character can claim
    ChunkData data{true, 0, 0, 0};
    for (; data.bytes < announced && data.lines < ISP_CHUNK_LINES; ++data.lines) {
        if (readDataLineCr(link, line, UU_LINE_CAPACITY, deadline) < 1) {
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

enum ChunkRead {
    CHUNK_READ,       // read and checked
    CHUNK_SPOILT,     // short data, a bad checksum, a damaged echo or code: worth asking again
    CHUNK_MISSING,    // a data or checksum line did not come: worth asking again
    CHUNK_REJECTED,   // the bootloader refused the "R"
};

// One "R" command. The data lines and the checksum come by one deadline, set
// by how long they take on the wire.
ChunkRead readChunk(SwitchLink& link, std::uint8_t* destination, std::uint32_t address, std::uint32_t count) {
    std::uint32_t announced = roundUpToWord(count);
    char reply[CODE_CAPACITY];
    const IspReturnCode code = ispCommand(link, reply, CODE_CAPACITY, "R %u %u", address, announced);
    if (code == ISP_ECHO_DIFFERS) return CHUNK_SPOILT;
    if (code != ISP_CMD_SUCCESS) return refusedAsWorded(code, reply) ? CHUNK_REJECTED : CHUNK_SPOILT;
    const Deadline rest = deadlineIn(LINE_TIMEOUT_MS + wireMs(link, uuWireCharacters(announced)));
    ChunkData data = readChunkData(link, destination, count, announced, rest);
    traceNote(link.traceTag, "received %d data lines, %u bytes", data.lines, data.bytes);
    if (!data.complete || readLineCr(link, reply, CODE_CAPACITY, rest) < 1) return CHUNK_MISSING;
    // Acknowledged whatever the comparison gives: a bad chunk is asked for
    // again with its own "R", which needs the bootloader back at its commands.
    sendText(link, "OK\r\n");
    if (link.isp.echoMode) skipEcho(link);
    const bool sumMatches = decimalValue(reply) == data.sum;
    if (!sumMatches) traceNote(link.traceTag, "the data lines sum to %u", data.sum);
    return data.bytes == announced && sumMatches ? CHUNK_READ : CHUNK_SPOILT;
}

// A chunk spoilt on its way back is read again by itself, after what is left
// of its answer has run out, at most CHUNK_REREADS times.
ChunkRead readChunkAgain(SwitchLink& link, std::uint8_t* destination, std::uint32_t address, std::uint32_t count) {
    ChunkRead result = readChunk(link, destination, address, count);
    for (int again = 0; (result == CHUNK_SPOILT || result == CHUNK_MISSING) && again < CHUNK_REREADS && !linkStopped(link); ++again) {
        traceNote(link.traceTag, "reading the chunk at 0x%08X again", static_cast<unsigned>(address));
        abandonRead(link, static_cast<std::int32_t>(count));
        result = readChunk(link, destination, address, count);
    }
    return result;
}

int readChunks(SwitchLink& link, void* destination, std::uint32_t address, std::int32_t count, bool quiet) {
    if (count < 0) return 0;
    auto* bytes = static_cast<std::uint8_t*>(destination);
    auto left = static_cast<std::uint32_t>(count);
    std::int32_t total = 0;
    while (left != 0) {
        std::uint32_t chunk = std::min(left, ISP_CHUNK);
        const ChunkRead result = readChunkAgain(link, bytes + total, address, chunk);
        if (result == CHUNK_REJECTED) return -total;
        if (result == CHUNK_MISSING && !quiet) sinkPrintf(link.out, "Timeout\n");
        if (result != CHUNK_READ) return 0;
        total += static_cast<std::int32_t>(chunk);
        address += chunk;
        left -= chunk;
    }
    return total;
}

}   // namespace

int nxpRead(SwitchLink& link, void* destination, std::uint32_t address, std::int32_t count) {
    return readChunks(link, destination, address, count, false);
}

bool nxpReadBack(SwitchLink& link, void* destination, std::uint32_t address, std::int32_t count) {
    for (int attempt = 0; attempt < READBACK_ATTEMPTS; ++attempt) {
        if (readChunks(link, destination, address, count, true) == count) return true;
        abandonRead(link, count);
    }
    return false;
}
