#include "format/sinks.h"

#include <cstdarg>
#include <cstdio>
#include <cstring>

#include "format/format.h"
#include "link/serial.h"

namespace {

constexpr int SERIAL_CHUNK = 128;
constexpr int MIRRORED_MESSAGE_CAPACITY = 1024;   // longer messages reach the mirror cut short

ConsoleMirror consoleMirror = nullptr;

void mirror(const char* text, int length) {
    if (consoleMirror != nullptr && length > 0) consoleMirror(text, length);
}

// Collects a command line so it reaches the port in one write per chunk;
// a USB-serial adapter pays per write, the line sees the same bytes.
struct SerialChunk {
    char bytes[SERIAL_CHUNK];
    int length;
    int total;
};

void flushSerialChunk(SerialChunk* chunk) {
    if (chunk->length > 0) comWrite(&serialPort, chunk->bytes, chunk->length);
    chunk->length = 0;
}

void emitToSerial(int character, void* context) {
    auto* chunk = static_cast<SerialChunk*>(context);
    chunk->bytes[chunk->length++] = static_cast<char>(character);
    ++chunk->total;
    if (chunk->length == SERIAL_CHUNK) flushSerialChunk(chunk);
}

// Lets any character function serve as an engine output function.
struct CharacterSink {
    int (*put)(int character);
    int total;
};

void emitToCharacterSink(int character, void* context) {
    auto* sink = static_cast<CharacterSink*>(context);
    sink->total += sink->put(character);
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

int serialPrintf(const char* format, ...) {
    SerialChunk chunk{};
    std::va_list args;
    va_start(args, format);
    formatOutput(emitToSerial, &chunk, format, args);
    va_end(args);
    flushSerialChunk(&chunk);
    return chunk.total;
}

int consolePutChar(int character) {
    const char byte = static_cast<char>(character);
    mirror(&byte, 1);
    return std::putchar(static_cast<unsigned char>(character)) == EOF ? 0 : 1;
}

int consolePutString(const char* text) {
    if (text == nullptr) return 0;
    const auto length = static_cast<int>(std::strlen(text));
    mirror(text, length);
    return std::fputs(text, stdout) == EOF ? 0 : length;
}

int consoleMessage(const char* format, ...) {
    std::va_list args;
    va_start(args, format);
    if (consoleMirror != nullptr) {
        std::va_list copy;
        va_copy(copy, args);
        char text[MIRRORED_MESSAGE_CAPACITY];
        const int length = std::vsnprintf(text, sizeof text, format, copy);
        va_end(copy);
        mirror(text, length < static_cast<int>(sizeof text) ? length : static_cast<int>(sizeof text) - 1);
    }
    const int written = std::vprintf(format, args);
    va_end(args);
    return written;
}

void setConsoleMirror(ConsoleMirror mirrorTo) {
    consoleMirror = mirrorTo;
}

int consolePrintf(const char* format, ...) {
    CharacterSink sink{consolePutChar, 0};
    std::va_list args;
    va_start(args, format);
    formatOutput(emitToCharacterSink, &sink, format, args);
    va_end(args);
    return sink.total;
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
