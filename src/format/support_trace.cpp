#include "format/support_trace.h"

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>

#include "link/clock.h"

namespace {

constexpr int CONSOLE_RECORD_CAPACITY = 256;   // longer console lines continue in the next record

std::FILE* logFile = nullptr;
std::uint32_t openedAt = 0;
bool closeRegistered = false;
char consolePending[CONSOLE_RECORD_CAPACITY];
int consolePendingLength = 0;

void writeEscaped(const char* text, int length) {
    for (int i = 0; i < length; ++i) {
        const auto byte = static_cast<unsigned char>(text[i]);
        if (byte == '\\')
            std::fputs("\\\\", logFile);
        else if (byte == '\r')
            std::fputs("\\r", logFile);
        else if (byte == '\n')
            std::fputs("\\n", logFile);
        else if (byte < 0x20 || byte >= 0x7F)
            std::fprintf(logFile, "\\x%02X", byte);
        else
            std::fputc(byte, logFile);
    }
}

void startRecord(char kind) {
    const std::uint32_t ms = msNow() - openedAt;
    std::fprintf(logFile, "%5u.%03u %c ", static_cast<unsigned>(ms / 1000), static_cast<unsigned>(ms % 1000), kind);
}

void writeRecord(char kind, const char* text, int length) {
    startRecord(kind);
    writeEscaped(text, length);
    std::fputc('\n', logFile);
}

// Console text and missing answers are rare next to the line trace and mark
// the moments a support case asks about, so they also push the file out: a
// run that is killed or crashes loses at most the trace since the last one.
void flushConsole() {
    if (consolePendingLength == 0) return;
    writeRecord('|', consolePending, consolePendingLength);
    consolePendingLength = 0;
    std::fflush(logFile);
}

// Console text that came before a trace record is written before it.
void startTraceRecord(char kind) {
    flushConsole();
    startRecord(kind);
}

int textLength(const char* text) {
    int length = 0;
    while (text[length] != '\0') ++length;
    return length;
}

}   // namespace

int supportLogOpen(const char* path) {
    supportLogClose();
    errno = 0;
    logFile = std::fopen(path, "ab");
    if (logFile == nullptr) return errno != 0 ? errno : EINVAL;
    openedAt = msNow();
    if (!closeRegistered) closeRegistered = std::atexit(supportLogClose) == 0;
    return 0;
}

bool supportLogIsOpen() {
    return logFile != nullptr;
}

void supportLogPlainLine(const char* text) {
    if (logFile == nullptr) return;
    flushConsole();
    std::fputs(text, logFile);
    std::fputc('\n', logFile);
}

void supportLogConsole(const char* text, int length) {
    if (logFile == nullptr) return;
    for (int i = 0; i < length; ++i) {
        consolePending[consolePendingLength++] = text[i];
        if (text[i] == '\n' || consolePendingLength == CONSOLE_RECORD_CAPACITY) flushConsole();
    }
}

void traceSent(const void* bytes, int count) {
    if (logFile == nullptr) return;
    startTraceRecord('>');
    writeEscaped(static_cast<const char*>(bytes), count);
    std::fputc('\n', logFile);
}

void traceSentText(const char* text) {
    if (logFile != nullptr) traceSent(text, textLength(text));
}

void traceReceived(const char* line) {
    if (logFile == nullptr) return;
    startTraceRecord('<');
    writeEscaped(line, textLength(line));
    std::fputc('\n', logFile);
}

void traceNoAnswer() {
    if (logFile == nullptr) return;
    startTraceRecord('!');
    std::fputs("no answer\n", logFile);
    std::fflush(logFile);
}

void traceNote(const char* format, ...) {
    if (logFile == nullptr) return;
    startTraceRecord('#');
    std::va_list args;
    va_start(args, format);
    std::vfprintf(logFile, format, args);
    va_end(args);
    std::fputc('\n', logFile);
}

void supportLogClose() {
    if (logFile == nullptr) return;
    flushConsole();
    std::fclose(logFile);
    logFile = nullptr;
}
