// The one command path: every command line goes out and its echo and answer
// come back through ispCommand; the commands that are one line each.
#include <algorithm>
#include <cstdarg>
#include <cstring>

#include "format/sinks.h"
#include "format/support_trace.h"
#include "isp/client.h"
#include "isp/line.h"
#include "link/serial.h"

namespace {

constexpr int ECHO_REPEATS = 3;   // sends of a command that may go again harmlessly

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
static_assert(RETURN_CODE_COUNT == ISP_RETURN_CODES, "one name for each of the bootloader's return codes");

IspReturnCode returnCode(const char* reply, int length) {
    if (length < 0) return ISP_NO_ANSWER;
    if (reply[0] == '0') return ISP_CMD_SUCCESS;
    if (reply[0] < '0' || reply[0] > '9') return ISP_NOT_A_CODE;
    return static_cast<IspReturnCode>(std::min<std::uint32_t>(decimalValue(reply), INT32_MAX));
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
bool showsDamageReceived(IspReturnCode code, const char* reply) {
    return code != ISP_COMPARE_ERROR && refusedAsWorded(code, reply);
}

// A command that may harmlessly go again is sent again while its echo comes
// back damaged and an answer came: what the bootloader took is unknown.
bool sendAgain(IspReturnCode code, const char* reply, int* sends) {
    return code == ISP_ECHO_DIFFERS && reply[0] != '\0' && ++*sends < ECHO_REPEATS;
}

// Every command but Compare, Copy and Part ID: one return-code line, "0" or failure.
IspResult commandResult(IspReturnCode code) {
    return code == ISP_CMD_SUCCESS ? ISP_OK : ISP_FAILED;
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

enum EchoCheck { ECHO_SAME, ECHO_DIFFERS, ECHO_MISSING };

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
IspReturnCode takeAnswer(SwitchLink& link, char* reply, int capacity, int sentLength) {
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

}   // namespace

int sendCommand(SwitchLink& link, const char* format, ...) {
    std::va_list args;
    va_start(args, format);
    const int length = sendCommandV(link, format, args);
    va_end(args);
    return length;
}

IspReturnCode ispCommand(SwitchLink& link, char* reply, int capacity, const char* format, ...) {
    std::va_list args;
    va_start(args, format);
    const int length = sendCommandV(link, format, args);
    va_end(args);
    return takeAnswer(link, reply, capacity, length);
}

IspResult nxpEchoOn(SwitchLink& link) {
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
        link.isp.groupLines = ISP_CHUNK_LINES;
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

std::uint32_t ispDamageReports(const SwitchLink& link) {
    return link.isp.damageReports;
}

IspResult nxpUnlock(SwitchLink& link) {
    char reply[CODE_CAPACITY];
    IspReturnCode code = ISP_NO_ANSWER;
    int sends = 0;
    do code = ispCommand(link, reply, CODE_CAPACITY, "U %u", ISP_UNLOCK_CODE);
    while (sendAgain(code, reply, &sends));
    return commandResult(code);
}

// Only a refusal as the bootloader words it fails: an answer spoilt on its way
// back may come from a bootloader that has already started the application.
IspResult nxpGo(SwitchLink& link, std::uint32_t address) {
    char reply[CODE_CAPACITY];
    ispCommand(link, reply, CODE_CAPACITY, "G %u T", address);
    if (refusedAsWorded(link.isp.lastExchange.returnCode, reply)) return ISP_FAILED;
    link.isp.echoMode = false;   // the application runs
    return ISP_OK;
}

IspResult nxpPrepare(SwitchLink& link, unsigned start, unsigned end, unsigned bank) {
    char reply[CODE_CAPACITY];
    IspReturnCode code = ISP_NO_ANSWER;
    int sends = 0;
    do code = ispCommand(link, reply, CODE_CAPACITY, "P %u %u %u", start & 0xFFu, end & 0xFFu, bank & 0xFFu);
    while (sendAgain(code, reply, &sends));
    return commandResult(code);
}

IspResult nxpErase(SwitchLink& link, unsigned start, unsigned end, unsigned bank) {
    char reply[CODE_CAPACITY];
    return commandResult(
        ispCommand(link, reply, CODE_CAPACITY, "E %u %u %u", start & 0xFFu, end & 0xFFu, bank & 0xFFu));
}

// A copy whose echo came back damaged did what its answer says, though
// perhaps not with the addresses that were sent.
CopyResult nxpCopy(SwitchLink& link, std::uint32_t flash, std::uint32_t ram, std::uint32_t count) {
    char reply[CODE_CAPACITY];
    const IspReturnCode code = ispCommand(link, reply, CODE_CAPACITY, "C %u %u %u", flash, ram, count);
    const IspReturnCode answered = link.isp.lastExchange.returnCode;
    if (answered == ISP_NO_ANSWER) return ISP_COPY_NO_ANSWER;
    if (code == ISP_ECHO_DIFFERS) return answered == ISP_CMD_SUCCESS ? ISP_COPY_DAMAGED_DONE : ISP_COPY_DAMAGED_REFUSED;
    return code == ISP_CMD_SUCCESS ? ISP_COPY_DONE : ISP_COPY_REFUSED;
}

CompareResult nxpCompare(SwitchLink& link, std::uint32_t address1, std::uint32_t address2, std::uint32_t count) {
    char reply[NUMBER_CAPACITY];
    IspReturnCode code = ISP_NO_ANSWER;
    int sends = 0;
    bool differs = false;
    do {
        code = ispCommand(link, reply, NUMBER_CAPACITY, "M %u %u %u", address1, address2, count);
        differs = std::strncmp(reply, "10", 2) == 0;
        if (differs) readLineCr(link, reply, NUMBER_CAPACITY);   // offset of the first difference
    } while (sendAgain(code, differs ? "10" : reply, &sends));
    if (code == ISP_CMD_SUCCESS) return ISP_COMPARE_SAME;
    // With a damaged echo the answer may be about other addresses.
    return differs && code != ISP_ECHO_DIFFERS ? ISP_COMPARE_MISMATCH : ISP_COMPARE_FAILED;
}

// The part's two numbers follow its return code at once: one deadline for both.
PartIdResult nxpReadPartId(SwitchLink& link, PartId* out) {
    char reply[NUMBER_CAPACITY];
    const IspReturnCode code = ispCommand(link, reply, NUMBER_CAPACITY, "J");   // return code
    const bool answered = reply[0] != '\0';
    const Deadline numbers = deadlineIn(LINE_TIMEOUT_MS);
    bool whole = digitsOnly(reply, readLineCr(link, reply, NUMBER_CAPACITY, numbers));
    out->partWord0 = decimalValue(reply) & 0xFFFFu;
    whole = digitsOnly(reply, readLineCr(link, reply, NUMBER_CAPACITY, numbers)) && whole;
    out->flashConfig = decimalValue(reply);
    if (!answered) return PART_ID_UNANSWERED;
    return code == ISP_CMD_SUCCESS && whole ? PART_ID_READ : PART_ID_SPOILT;
}
