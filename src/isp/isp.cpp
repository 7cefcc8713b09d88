#include "isp/isp.h"

#include <algorithm>
#include <cstdarg>
#include <cstring>

#include "format/sinks.h"
#include "format/support_trace.h"
#include "isp/line.h"
#include "isp/uu.h"
#include "link/serial.h"

IspExchange lastIspExchange{};

namespace {

std::uint32_t damageReports = 0;

constexpr int CODE_CAPACITY = 7;      // return codes: up to 6 characters
constexpr int NUMBER_CAPACITY = 11;   // a 32-bit decimal number
constexpr int LINES_PER_CHUNK = 20;
static_assert(ISP_CHUNK == LINES_PER_CHUNK * UU_LINE_BYTES, "one checksum block per R");
static_assert(ISP_WRITE_PIECE % 4 == 0, "a W names a word-aligned address");

enum ChunkAnswer { CHUNK_OK, CHUNK_RESEND, CHUNK_FAILED };

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

void noteFailure(const IspExchange& exchange) {
    const int code = exchange.returnCode;
    if (code == ISP_CMD_SUCCESS || code == ISP_NOT_A_CODE) return;
    if (code == ISP_NO_ANSWER)
        traceNote("\"%s\" got no answer", exchange.command);
    else if (code < RETURN_CODE_COUNT)
        traceNote("\"%s\" failed: %d %s", exchange.command, code, RETURN_CODE_NAMES[code]);
    else
        traceNote("\"%s\" failed: %d", exchange.command, code);
}

// A code this program's commands earn only when the bootloader got them
// wrong. A compare's difference is an answer, not damage; a number beyond the
// bootloader's codes, or a line with more than digits, was spoilt on its way back.
bool showsDamageReceived(int code, const char* reply) {
    if (code <= ISP_CMD_SUCCESS || code >= RETURN_CODE_COUNT || code == ISP_COMPARE_ERROR) return false;
    return reply[std::strspn(reply, "0123456789")] == '\0';
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

std::uint32_t linesPerWrite() {
    std::uint32_t lines = currentBaud / 1000 * BURST_MS / LINE_WIRE_BITS;
    return std::clamp<std::uint32_t>(lines, 1, LINES_PER_CHUNK);
}

// Sends one chunk as UU lines with CR LF, then its checksum, and judges the
// bootloader's verdict on it.
ChunkAnswer sendChunk(const std::uint8_t* bytes, std::uint32_t count, std::uint32_t checksum) {
    char burst[LINES_PER_CHUNK * (UU_LINE_CAPACITY + 1)];
    const std::uint32_t burstLines = linesPerWrite();
    for (std::uint32_t sent = 0; sent < count;) {
        char* end = burst;
        for (std::uint32_t lines = 0; lines < burstLines && sent < count; ++lines) {
            std::uint32_t n = std::min<std::uint32_t>(count - sent, UU_LINE_BYTES);
            end = uuEncodeLine(end, bytes + sent, static_cast<int>(n));
            std::memcpy(end, "\r\n", 2);
            end += 2;
            sent += n;
        }
        comWrite(&serialPort, burst, static_cast<std::int32_t>(end - burst));
    }
    traceNote("sent %u data lines, %u bytes", (count + UU_LINE_BYTES - 1) / UU_LINE_BYTES, count);
    char reply[CODE_CAPACITY];
    ispCommand(reply, CODE_CAPACITY, "%u", checksum);
    if (std::strcmp(reply, "OK") == 0) return CHUNK_OK;
    if (std::strcmp(reply, "RESEND") == 0) {
        ++damageReports;
        return CHUNK_RESEND;
    }
    return CHUNK_FAILED;
}

// Each group of up to 20 lines is judged on its own; RESEND repeats just
// that group, as the bootloader rewinds to the group's start.
int writeGroup(const std::uint8_t* bytes, std::uint32_t count) {
    const std::uint32_t checksum = byteSum(bytes, count);
    for (int attempt = 0; attempt < ISP_WRITE_ATTEMPTS; ++attempt) {
        ChunkAnswer answer = sendChunk(bytes, count, checksum);
        if (answer == CHUNK_OK) return ISP_OK;
        if (answer == CHUNK_FAILED) return ISP_FAILED;
    }
    return ISP_FAILED;
}

// One "W" for the whole piece: every command costs a turn, and on a USB
// adapter each turn waits for its latency timer.
int writePiece(std::uint32_t address, const std::uint8_t* bytes, std::uint32_t count) {
    char reply[CODE_CAPACITY];
    const int code = ispCommand(reply, CODE_CAPACITY, "W %u %u", address, roundUpToWord(count));
    if (reply[0] == '\0') return ISP_FAILED;
    if (code != ISP_CMD_SUCCESS) return ISP_WRITE_REJECTED;
    // A data line damaged on the way is answered RESEND; ignoring it would
    // leave the damage in RAM, where the later compare could not see it.
    for (std::uint32_t sent = 0; sent < count; sent += ISP_CHUNK) {
        if (writeGroup(bytes + sent, std::min(count - sent, ISP_CHUNK)) != ISP_OK) return ISP_FAILED;
    }
    return ISP_OK;
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
ChunkData readChunkData(std::uint8_t* destination, std::uint32_t count, std::uint32_t announced) {
    char line[UU_LINE_CAPACITY];
    std::uint8_t bytes[64];   // the most a length character can claim
    ChunkData data{true, 0, 0, 0};
    for (; data.bytes < announced && data.lines < LINES_PER_CHUNK; ++data.lines) {
        if (readDataLineCr(line, UU_LINE_CAPACITY) < 1) {
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
int readChunk(std::uint8_t* destination, std::uint32_t address, std::uint32_t count) {
    std::uint32_t announced = roundUpToWord(count);
    char reply[CODE_CAPACITY];
    const int code = ispCommand(reply, CODE_CAPACITY, "R %u %u", address, announced);
    if (reply[0] == '\0') return 0;
    if (code != ISP_CMD_SUCCESS) return -1;
    ChunkData data = readChunkData(destination, count, announced);
    traceNote("received %d data lines, %u bytes", data.lines, data.bytes);
    if (!data.complete || readLineCr(reply, CODE_CAPACITY) < 1) {
        consolePrintf("Timeout\n");
        return 0;
    }
    // Acknowledged whatever the comparison gives: a bad chunk fails the read
    // rather than being asked for again.
    sendText("OK\r\n");
    const bool sumMatches = decimalValue(reply) == data.sum;
    if (!sumMatches) traceNote("the data lines sum to %u", data.sum);
    return data.bytes == announced && sumMatches ? 1 : 0;
}

}   // namespace

int ispCommand(char* reply, int capacity, const char* format, ...) {
    TextBuffer command;
    textBufferInit(&command, lastIspExchange.command, ISP_COMMAND_CAPACITY);
    std::va_list args;
    va_start(args, format);
    textBufferVPrintf(&command, format, args);
    va_end(args);
    char line[ISP_COMMAND_CAPACITY + 2];
    std::memcpy(line, command.storage, command.length);
    std::memcpy(line + command.length, "\r\n", 2);
    traceSent(line, command.length + 2);
    comWrite(&serialPort, line, command.length + 2);
    lastIspExchange.returnCode = returnCode(reply, readLineCr(reply, capacity));
    noteFailure(lastIspExchange);
    if (showsDamageReceived(lastIspExchange.returnCode, reply)) ++damageReports;
    return lastIspExchange.returnCode;
}

std::uint32_t ispDamageReports() {
    return damageReports;
}

int nxpUnlock() {
    char reply[CODE_CAPACITY];
    return commandResult(ispCommand(reply, CODE_CAPACITY, "U %u", ISP_UNLOCK_CODE));
}

int nxpGo(std::uint32_t address) {
    char reply[CODE_CAPACITY];
    ispCommand(reply, CODE_CAPACITY, "G %u T", address);
    return reply[0] == '\0' || reply[0] == '0' ? ISP_OK : ISP_FAILED;
}

int nxpPrepare(unsigned start, unsigned end, unsigned bank) {
    char reply[CODE_CAPACITY];
    return commandResult(ispCommand(reply, CODE_CAPACITY, "P %u %u %u", start & 0xFFu, end & 0xFFu, bank & 0xFFu));
}

int nxpErase(unsigned start, unsigned end, unsigned bank) {
    char reply[CODE_CAPACITY];
    return commandResult(ispCommand(reply, CODE_CAPACITY, "E %u %u %u", start & 0xFFu, end & 0xFFu, bank & 0xFFu));
}

int nxpCopy(std::uint32_t flash, std::uint32_t ram, std::uint32_t count) {
    char reply[CODE_CAPACITY];
    return commandResult(ispCommand(reply, CODE_CAPACITY, "C %u %u %u", flash, ram, count));
}

int nxpCompare(std::uint32_t address1, std::uint32_t address2, std::uint32_t count) {
    char reply[NUMBER_CAPACITY];
    ispCommand(reply, NUMBER_CAPACITY, "M %u %u %u", address1, address2, count);
    if (reply[0] == '0') return ISP_OK;
    if (std::strncmp(reply, "10", 2) != 0) return ISP_FAILED;
    readLineCr(reply, NUMBER_CAPACITY);   // offset of the first difference
    return ISP_COMPARE_MISMATCH;
}

int nxpReadPartId(PartId* out) {
    char reply[NUMBER_CAPACITY];
    ispCommand(reply, NUMBER_CAPACITY, "J");   // return code
    readLineCr(reply, NUMBER_CAPACITY);
    out->partWord0 = decimalValue(reply) & 0xFFFFu;
    readLineCr(reply, NUMBER_CAPACITY);
    out->flashConfig = decimalValue(reply);
    return ISP_OK;
}

int nxpRead(void* destination, std::uint32_t address, std::int32_t count) {
    if (count < 0) return 0;
    auto* bytes = static_cast<std::uint8_t*>(destination);
    auto left = static_cast<std::uint32_t>(count);
    std::int32_t total = 0;
    while (left != 0) {
        std::uint32_t chunk = std::min(left, ISP_CHUNK);
        int result = readChunk(bytes + total, address, chunk);
        if (result < 0) return -total;
        if (result == 0) return 0;
        total += static_cast<std::int32_t>(chunk);
        address += chunk;
        left -= chunk;
    }
    return total;
}

int nxpWrite(std::uint32_t address, const void* source, std::int32_t count) {
    if (count < 0) return ISP_FAILED;
    const auto* bytes = static_cast<const std::uint8_t*>(source);
    auto left = static_cast<std::uint32_t>(count);
    while (left != 0) {
        std::uint32_t chunk = std::min(left, ISP_WRITE_PIECE);
        int result = writePiece(address, bytes, chunk);
        if (result != ISP_OK) return result;
        bytes += chunk;
        address += chunk;
        left -= chunk;
    }
    return ISP_OK;
}
