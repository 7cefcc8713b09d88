// Destinations for the formatting engine: the serial port, the console
// (standard output, shared in order with the runtime's printf) and a bounded
// text buffer owned by the caller.
#pragma once
#include <cstdarg>
#include <cstdint>

struct SerialPort;

int serialPrintf(SerialPort* port, const char* format, ...);

// Console text may come from several threads: every call below reaches
// standard output (and the mirror) whole, so no line is cut by another's.
int consolePutChar(int character);
int consolePutString(const char* text);
int consolePrintf(const char* format, ...);

// Every message the engine does not format goes through the runtime's printf
// here, so that all console text passes one place.
int consoleMessage(const char* format, ...);

// Console text goes to standard error from now on (standard output then
// carries a document for programs); the default is standard output.
void consoleToStandardError();
void consoleFlush();

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

// Where one session's messages go: the console, or a text buffer that its
// owner prints later (a port probed beside others shows its lines as one
// block), or the console in whole lines that each begin with `linePrefix`
// (a switch updated beside others: no line of one is cut by another's; a
// carriage return ends a line too, so progress comes as lines). A null sink
// is the console. Written by one thread.
constexpr int SINK_LINE_CAPACITY = 200;
struct OutputSink {
    TextBuffer* buffer = nullptr;       // nullptr: the console
    const char* linePrefix = nullptr;   // with it: whole lines to the console
    int boardRow = -1;                  // with a board on the console: the row its lines replace
    mutable char line[SINK_LINE_CAPACITY]{};
    mutable int lineLength = 0;
    mutable char lastLine[2 * SINK_LINE_CAPACITY]{};   // the last message's lines, without their prefix
    bool keepLastLine = false;   // the console itself (no buffer, no prefix) keeps lastLine too
};
int sinkPrintf(const OutputSink* sink, const char* format, ...);    // as consolePrintf
int sinkMessage(const OutputSink* sink, const char* format, ...);   // as consoleMessage
int sinkPutString(const OutputSink* sink, const char* text);
void sinkFlush(
    const OutputSink* sink);   // console text is pushed out at once (progress lines), a line sink's line ended

// A board of `rows` lines at the foot of a terminal `columns` wide: each line
// a sink with a board row ends replaces that row in place, cut short of the
// terminal's width so that it never wraps, and the support log gets it as a
// whole line. consoleEndBoard leaves the cursor below the board.
void consoleStartBoard(int rows, int columns);
void consoleEndBoard();

void textBufferInit(TextBuffer* buffer, char* storage, std::uint16_t capacity);
int textBufferPutChar(TextBuffer* buffer, int character);   // characters added
int textBufferPutString(TextBuffer* buffer, const char* text);
int textBufferPrintf(TextBuffer* buffer, const char* format, ...);
int textBufferVPrintf(TextBuffer* buffer, const char* format, std::va_list args);
