// Destinations for the formatting engine: the serial port, the console
// (standard output, shared in order with the runtime's printf) and a bounded
// text buffer owned by the caller.
#pragma once
#include <cstdarg>
#include <cstdint>

int serialPrintf(const char* format, ...);
int consolePutChar(int character);
int consolePutString(const char* text);
int consolePrintf(const char* format, ...);

// Every message the engine does not format goes through the runtime's printf
// here, so that all console text passes one place.
int consoleMessage(const char* format, ...);

// Receives a copy of all console text (the support log); none by default.
using ConsoleMirror = void (*)(const char* text, int length);
void setConsoleMirror(ConsoleMirror mirror);

// Refers to caller-owned storage; never holds more than capacity - 1
// characters. Every operation but textBufferInit terminates the text.
struct TextBuffer {
    char* storage;
    std::uint16_t length;
    std::uint16_t capacity;
};

void textBufferInit(TextBuffer* buffer, char* storage, std::uint16_t capacity);
int textBufferPutChar(TextBuffer* buffer, int character);   // characters added
int textBufferPutString(TextBuffer* buffer, const char* text);
int textBufferPrintf(TextBuffer* buffer, const char* format, ...);
int textBufferVPrintf(TextBuffer* buffer, const char* format, std::va_list args);
