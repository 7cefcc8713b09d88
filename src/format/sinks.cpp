#include "format/sinks.h"

#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <mutex>

#include "format/format.h"
#include "link/serial.h"

namespace {

constexpr int SERIAL_CHUNK = 128;
constexpr int CONSOLE_TEXT_CAPACITY = 1024;   // longer texts reach the mirror cut short

// Standard output and its mirror, written by one thread at a time.
struct Console {
    std::mutex lock;
    std::FILE* stream = nullptr;   // standard output unless moved to standard error
    ConsoleMirror mirror = nullptr;
    int boardRows = 0;   // a board's rows end the output: lines move up to them and back
    int boardColumns = 0;
};
Console console;

std::FILE* consoleStream() {
    return console.stream != nullptr ? console.stream : stdout;
}

// Writes `text` whole, with its copy to the mirror. Returns the characters written.
int consoleWrite(const char* text, int length) {
    if (length <= 0) return 0;
    const std::lock_guard<std::mutex> hold(console.lock);
    if (console.mirror != nullptr) console.mirror(text, length);
    return static_cast<int>(std::fwrite(text, 1, static_cast<std::size_t>(length), consoleStream()));
}

// Collects a command line so it reaches the port in one write per chunk;
// a USB-serial adapter pays per write, the line sees the same bytes.
struct SerialChunk {
    SerialPort* port;
    char bytes[SERIAL_CHUNK];
    int length;
    int total;
};

void flushSerialChunk(SerialPort* port, SerialChunk* chunk) {
    if (chunk->length > 0) comWrite(port, chunk->bytes, chunk->length);
    chunk->length = 0;
}

void emitToSerial(int character, void* context) {
    auto* chunk = static_cast<SerialChunk*>(context);
    chunk->bytes[chunk->length++] = static_cast<char>(character);
    ++chunk->total;
    if (chunk->length == SERIAL_CHUNK) flushSerialChunk(chunk->port, chunk);
}

bool isUsable(const TextBuffer* buffer) {
    return buffer != nullptr && buffer->storage != nullptr && buffer->capacity > 0;
}

// Once full, further characters land in the last slot, which the closing
// terminator then overwrites: the text keeps its first capacity - 1 characters.
void appendToTextBuffer(int character, void* context) {
    auto* buffer = static_cast<TextBuffer*>(context);
    buffer->storage[buffer->length] = static_cast<char>(character);
    if (buffer->length < buffer->capacity - 1) ++buffer->length;
}

void terminate(TextBuffer* buffer) {
    buffer->storage[buffer->length] = '\0';
}

}   // namespace

int serialPrintf(SerialPort* port, const char* format, ...) {
    SerialChunk chunk{};
    chunk.port = port;
    std::va_list args;
    va_start(args, format);
    formatOutput(emitToSerial, &chunk, format, args);
    va_end(args);
    flushSerialChunk(port, &chunk);
    return chunk.total;
}

int consolePutChar(int character) {
    const char byte = static_cast<char>(character);
    return consoleWrite(&byte, 1);
}

int consolePutString(const char* text) {
    if (text == nullptr) return 0;
    return consoleWrite(text, static_cast<int>(std::strlen(text)));
}

namespace {
// The runtime's formatting, whole: a text longer than the buffer goes out
// through the runtime itself, its mirror copy cut short.
int consoleVMessage(const char* format, std::va_list args) {
    std::va_list copy;
    va_copy(copy, args);
    char text[CONSOLE_TEXT_CAPACITY];
    const int length = std::vsnprintf(text, sizeof text, format, copy);
    va_end(copy);
    if (length < static_cast<int>(sizeof text)) return consoleWrite(text, length);
    const std::lock_guard<std::mutex> hold(console.lock);
    if (console.mirror != nullptr) console.mirror(text, static_cast<int>(sizeof text) - 1);
    return std::vfprintf(consoleStream(), format, args);
}

int consoleVPrintf(const char* format, std::va_list args) {
    char storage[CONSOLE_TEXT_CAPACITY];
    TextBuffer text;
    textBufferInit(&text, storage, sizeof storage);
    textBufferVPrintf(&text, format, args);
    return consoleWrite(text.storage, text.length);
}
}   // namespace

int consoleMessage(const char* format, ...) {
    std::va_list args;
    va_start(args, format);
    const int written = consoleVMessage(format, args);
    va_end(args);
    return written;
}

void setConsoleMirror(ConsoleMirror mirrorTo) {
    const std::lock_guard<std::mutex> hold(console.lock);
    console.mirror = mirrorTo;
}

int consolePrintf(const char* format, ...) {
    std::va_list args;
    va_start(args, format);
    const int written = consoleVPrintf(format, args);
    va_end(args);
    return written;
}

namespace {
// A sink's line goes out in pieces, "prefix", ": " and the line, so that no
// prefix is too long for a buffer. The callers below hold the console.
using LinePieces = const char* const[3];

void mirrorLine(LinePieces& pieces) {
    if (console.mirror == nullptr) return;
    for (const char* piece : pieces) {
        if (piece[0] != '\0') console.mirror(piece, static_cast<int>(std::strlen(piece)));
    }
    console.mirror("\n", 1);
}

// Writes no more than `room` characters of the pieces.
void printPieces(LinePieces& pieces, std::size_t room) {
    for (const char* piece : pieces) {
        const std::size_t shown = std::min(std::strlen(piece), room);
        std::fwrite(piece, 1, shown, consoleStream());
        room -= shown;
    }
}

// Up to the row, over it, and back below the board. A row that wrapped would
// throw every later cursor movement off by a row, and some consoles wrap as
// soon as the last column is written: a row leaves that column empty.
void redrawRow(int row, LinePieces& pieces) {
    const int up = console.boardRows - row;
    std::fprintf(consoleStream(), "\x1B[%dA\r\x1B[K", up);
    printPieces(pieces, static_cast<std::size_t>(std::max(console.boardColumns - 1, 0)));
    std::fprintf(consoleStream(), "\x1B[%dB\r", up);
    std::fflush(consoleStream());
}

// The lines one message ends are kept together in lastLine, a space between.
void keepLastMessage(const OutputSink* sink, bool sameMessage) {
    const std::size_t kept = sameMessage ? std::strlen(sink->lastLine) : 0;
    std::snprintf(sink->lastLine + kept, sizeof sink->lastLine - kept, "%s%s", kept > 0 ? " " : "", sink->line);
}

void endSinkLine(const OutputSink* sink, bool sameMessage = false) {
    if (sink->lineLength == 0) return;
    sink->line[sink->lineLength] = '\0';
    keepLastMessage(sink, sameMessage);
    if (sink->linePrefix == nullptr) {   // the console's own text: only followed
        sink->lineLength = 0;
        return;
    }
    LinePieces pieces = {sink->linePrefix, ": ", sink->line};
    const std::lock_guard<std::mutex> hold(console.lock);
    mirrorLine(pieces);
    if (sink->boardRow >= 0 && sink->boardRow < console.boardRows) {
        redrawRow(sink->boardRow, pieces);
    } else {
        printPieces(pieces, SIZE_MAX);
        std::fputc('\n', consoleStream());
    }
    sink->lineLength = 0;
}

int sinkLines(const OutputSink* sink, const char* text, int length) {
    bool sameMessage = false;
    for (int i = 0; i < length; ++i) {
        if (text[i] != '\n' && text[i] != '\r') {
            if (sink->lineLength < SINK_LINE_CAPACITY - 1) sink->line[sink->lineLength++] = text[i];
            continue;
        }
        const bool ended = sink->lineLength > 0;
        endSinkLine(sink, sameMessage);
        sameMessage = sameMessage || ended;
    }
    return length;
}

bool isConsole(const OutputSink* sink) {
    return sink == nullptr || (sink->buffer == nullptr && sink->linePrefix == nullptr);
}

int sinkWrite(const OutputSink* sink, const char* text, int length) {
    if (isConsole(sink) && (sink == nullptr || !sink->keepLastLine)) return consoleWrite(text, length);
    if (isConsole(sink)) {
        sinkLines(sink, text, length);
        return consoleWrite(text, length);
    }
    if (sink->linePrefix != nullptr) return sinkLines(sink, text, length);
    return textBufferPutString(sink->buffer, text);
}
}   // namespace

int sinkPrintf(const OutputSink* sink, const char* format, ...) {
    char storage[CONSOLE_TEXT_CAPACITY];
    TextBuffer text;
    textBufferInit(&text, storage, sizeof storage);
    std::va_list args;
    va_start(args, format);
    textBufferVPrintf(&text, format, args);
    va_end(args);
    return sinkWrite(sink, text.storage, text.length);
}

int sinkMessage(const OutputSink* sink, const char* format, ...) {
    std::va_list args;
    va_start(args, format);
    int written = 0;
    if (isConsole(sink) && (sink == nullptr || !sink->keepLastLine)) {
        written = consoleVMessage(format, args);
    } else {
        char text[CONSOLE_TEXT_CAPACITY];
        const int length = std::vsnprintf(text, sizeof text, format, args);
        written = sinkWrite(sink, text, std::min(length, static_cast<int>(sizeof text) - 1));
    }
    va_end(args);
    return written;
}

int sinkPutString(const OutputSink* sink, const char* text) {
    if (text == nullptr) return 0;
    return sinkWrite(sink, text, static_cast<int>(std::strlen(text)));
}

void consoleStartBoard(int rows, int columns) {
    for (int row = 0; row < rows; ++row) consoleWrite("\n", 1);
    const std::lock_guard<std::mutex> hold(console.lock);
    console.boardRows = rows;
    console.boardColumns = columns;
}

void consoleToStandardError() {
    const std::lock_guard<std::mutex> hold(console.lock);
    console.stream = stderr;
}

void consoleFlush() {
    std::fflush(consoleStream());
}

void consoleEndBoard() {
    const std::lock_guard<std::mutex> hold(console.lock);
    console.boardRows = 0;
}

void sinkFlush(const OutputSink* sink) {
    if (sink != nullptr && (sink->linePrefix != nullptr || sink->keepLastLine)) endSinkLine(sink);
    if (sink == nullptr || sink->buffer == nullptr) consoleFlush();
}

void textBufferInit(TextBuffer* buffer, char* storage, std::uint16_t capacity) {
    buffer->storage = storage;
    buffer->length = 0;
    buffer->capacity = capacity;
}

int textBufferPutChar(TextBuffer* buffer, int character) {
    if (!isUsable(buffer)) return 0;
    const int before = buffer->length;
    appendToTextBuffer(character, buffer);
    terminate(buffer);
    return buffer->length - before;
}

int textBufferPutString(TextBuffer* buffer, const char* text) {
    if (!isUsable(buffer) || text == nullptr) return 0;
    const int before = buffer->length;
    for (const char* p = text; *p != '\0'; ++p) appendToTextBuffer(*p, buffer);
    terminate(buffer);
    return buffer->length - before;
}

int textBufferPrintf(TextBuffer* buffer, const char* format, ...) {
    std::va_list args;
    va_start(args, format);
    const int added = textBufferVPrintf(buffer, format, args);
    va_end(args);
    return added;
}

int textBufferVPrintf(TextBuffer* buffer, const char* format, std::va_list args) {
    if (!isUsable(buffer)) return 0;
    const int before = buffer->length;
    formatOutput(appendToTextBuffer, buffer, format, args);
    terminate(buffer);
    return buffer->length - before;
}
