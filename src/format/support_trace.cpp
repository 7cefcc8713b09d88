#include "format/support_trace.h"

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <mutex>

#include "link/clock.h"

namespace {

constexpr int CONSOLE_RECORD_CAPACITY = 256;   // longer console lines continue in the next record

// One per process: every session's trace and the console text meet in one file.
struct SupportLog {
    std::mutex lock;
    std::FILE* file = nullptr;
    std::uint32_t openedAt = 0;
    bool closeRegistered = false;
    char consolePending[CONSOLE_RECORD_CAPACITY];
    int consolePendingLength = 0;
};
SupportLog supportLog;

using Hold = std::lock_guard<std::mutex>;

void writeEscaped(const char* text, int length) {
    std::FILE* file = supportLog.file;
    for (int i = 0; i < length; ++i) {
        const auto byte = static_cast<unsigned char>(text[i]);
        if (byte == '\\')
            std::fputs("\\\\", file);
        else if (byte == '\r')
            std::fputs("\\r", file);
        else if (byte == '\n')
            std::fputs("\\n", file);
        else if (byte < 0x20 || byte >= 0x7F)
            std::fprintf(file, "\\x%02X", byte);
        else
            std::fputc(byte, file);
    }
}

void startRecord(char kind, const char* port = nullptr) {
    const std::uint32_t ms = msNow() - supportLog.openedAt;
    std::fprintf(supportLog.file, "%5u.%03u ", static_cast<unsigned>(ms / 1000), static_cast<unsigned>(ms % 1000));
    if (port != nullptr) std::fprintf(supportLog.file, "%s ", port);
    std::fprintf(supportLog.file, "%c ", kind);
}

// Console text and missing answers are rare next to the line trace and mark
// the moments a support case asks about, so they also push the file out: a
// run that is killed or crashes loses at most the trace since the last one.
void flushConsole() {
    if (supportLog.consolePendingLength == 0) return;
    startRecord('|');
    writeEscaped(supportLog.consolePending, supportLog.consolePendingLength);
    std::fputc('\n', supportLog.file);
    supportLog.consolePendingLength = 0;
    std::fflush(supportLog.file);
}

// Console text that came before a trace record is written before it.
void startTraceRecord(char kind, const char* port) {
    flushConsole();
    startRecord(kind, port);
}

int textLength(const char* text) {
    int length = 0;
    while (text[length] != '\0') ++length;
    return length;
}

void closeLocked() {
    if (supportLog.file == nullptr) return;
    flushConsole();
    std::fclose(supportLog.file);
    supportLog.file = nullptr;
}

void closeAtExit() {
    supportLogClose();
}

}   // namespace

int supportLogOpen(const char* path) {
    const Hold hold(supportLog.lock);
    closeLocked();
    errno = 0;
    supportLog.file = std::fopen(path, "ab");
    if (supportLog.file == nullptr) return errno != 0 ? errno : EINVAL;
    supportLog.openedAt = msNow();
    if (!supportLog.closeRegistered) supportLog.closeRegistered = std::atexit(closeAtExit) == 0;
    return 0;
}

bool supportLogIsOpen() {
    const Hold hold(supportLog.lock);
    return supportLog.file != nullptr;
}

void supportLogPlainLine(const char* text) {
    const Hold hold(supportLog.lock);
    if (supportLog.file == nullptr) return;
    flushConsole();
    std::fputs(text, supportLog.file);
    std::fputc('\n', supportLog.file);
}

void supportLogConsole(const char* text, int length) {
    const Hold hold(supportLog.lock);
    if (supportLog.file == nullptr) return;
    for (int i = 0; i < length; ++i) {
        supportLog.consolePending[supportLog.consolePendingLength++] = text[i];
        if (text[i] == '\n' || supportLog.consolePendingLength == CONSOLE_RECORD_CAPACITY) flushConsole();
    }
}

void traceSent(const char* port, const void* bytes, int count) {
    const Hold hold(supportLog.lock);
    if (supportLog.file == nullptr) return;
    startTraceRecord('>', port);
    writeEscaped(static_cast<const char*>(bytes), count);
    std::fputc('\n', supportLog.file);
}

void traceSentText(const char* port, const char* text) {
    traceSent(port, text, textLength(text));
}

void traceReceived(const char* port, const char* line) {
    const Hold hold(supportLog.lock);
    if (supportLog.file == nullptr) return;
    startTraceRecord('<', port);
    writeEscaped(line, textLength(line));
    std::fputc('\n', supportLog.file);
}

void traceNoAnswer(const char* port) {
    const Hold hold(supportLog.lock);
    if (supportLog.file == nullptr) return;
    startTraceRecord('!', port);
    std::fputs("no answer\n", supportLog.file);
    std::fflush(supportLog.file);
}

void traceNote(const char* port, const char* format, ...) {
    const Hold hold(supportLog.lock);
    if (supportLog.file == nullptr) return;
    startTraceRecord('#', port);
    std::va_list args;
    va_start(args, format);
    std::vfprintf(supportLog.file, format, args);
    va_end(args);
    std::fputc('\n', supportLog.file);
}

void supportLogClose() {
    const Hold hold(supportLog.lock);
    closeLocked();
}
