#include "format/sinks.h"

#include <gtest/gtest.h>

#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <functional>
#include <string>

namespace {

TEST(TextBuffer, KeepsTheFirstCapacityMinusOneCharacters) {
    char storage[128];
    TextBuffer buffer;
    textBufferInit(&buffer, storage, sizeof storage);
    const std::string input(200, 'v');
    EXPECT_EQ(textBufferPutString(&buffer, input.c_str()), 127);
    EXPECT_EQ(buffer.length, 127);
    EXPECT_EQ(std::string(storage), std::string(127, 'v'));
}

TEST(TextBuffer, FullBufferAddsNothingThroughAnyOperation) {
    char storage[4];
    TextBuffer buffer;
    textBufferInit(&buffer, storage, sizeof storage);
    ASSERT_EQ(textBufferPutString(&buffer, "abc"), 3);
    EXPECT_EQ(textBufferPutChar(&buffer, 'd'), 0);
    EXPECT_EQ(textBufferPutString(&buffer, "ef"), 0);
    EXPECT_EQ(textBufferPrintf(&buffer, "%u", 9), 0);
    EXPECT_EQ(buffer.length, 3);
    EXPECT_STREQ(storage, "abc");
}

TEST(TextBuffer, InitWritesNothingUntilTheFirstAppend) {
    char storage[8];
    std::memset(storage, 'x', sizeof storage);
    TextBuffer buffer;
    textBufferInit(&buffer, storage, sizeof storage);
    EXPECT_EQ(buffer.length, 0);
    EXPECT_EQ(storage[0], 'x');
    EXPECT_EQ(textBufferPutChar(&buffer, 'a'), 1);
    EXPECT_STREQ(storage, "a");
}

TEST(TextBuffer, OperationsAppendToOneText) {
    char storage[16];
    TextBuffer buffer;
    textBufferInit(&buffer, storage, sizeof storage);
    EXPECT_EQ(textBufferPutString(&buffer, "v"), 1);
    EXPECT_EQ(textBufferPrintf(&buffer, "%u.%02u", 2, 5), 4);
    EXPECT_EQ(textBufferPutChar(&buffer, 'b'), 1);
    EXPECT_EQ(textBufferPrintf(&buffer, ".%02u", 3), 3);
    EXPECT_STREQ(storage, "v2.05b.03");
}

TEST(TextBuffer, PrintfTruncatesAtCapacity) {
    char storage[6];
    TextBuffer buffer;
    textBufferInit(&buffer, storage, sizeof storage);
    EXPECT_EQ(textBufferPrintf(&buffer, "%u.%02u", 12345, 67), 5);
    EXPECT_STREQ(storage, "12345");
}

TEST(TextBuffer, TinyCapacitiesStayInsideTheirStorage) {
    char guard[4] = {'x', 'x', 'x', 'x'};
    TextBuffer buffer;

    textBufferInit(&buffer, guard, 1);
    EXPECT_EQ(textBufferPutChar(&buffer, 'a'), 0);
    EXPECT_EQ(textBufferPrintf(&buffer, "%s", "bc"), 0);
    EXPECT_EQ(guard[0], '\0');
    EXPECT_EQ(guard[1], 'x');

    guard[0] = 'x';
    textBufferInit(&buffer, guard, 0);
    EXPECT_EQ(textBufferPutChar(&buffer, 'a'), 0);
    EXPECT_EQ(textBufferPutString(&buffer, "bc"), 0);
    EXPECT_EQ(textBufferPrintf(&buffer, "%s", "de"), 0);
    EXPECT_EQ(guard[0], 'x');
}

// Runs `body` with standard output sent to a temporary file; returns the bytes.
std::string captureStdout(const std::function<void()>& body) {
    std::fflush(stdout);
    std::FILE* sink = std::tmpfile();
    const int saved = dup(STDOUT_FILENO);
    if (sink == nullptr || saved < 0 || dup2(fileno(sink), STDOUT_FILENO) < 0) {
        ADD_FAILURE() << "cannot redirect stdout";
        return {};
    }
    body();
    std::fflush(stdout);
    dup2(saved, STDOUT_FILENO);
    close(saved);
    std::string bytes;
    std::rewind(sink);
    for (int c; (c = std::fgetc(sink)) != EOF;) bytes.push_back(static_cast<char>(c));
    std::fclose(sink);
    return bytes;
}

TEST(Console, PrintfWritesTheFormatWithPercentsReduced) {
    EXPECT_EQ(captureStdout([] { consolePrintf("100%% done %%\n"); }), "100% done %\n");
}

TEST(Console, ProgressLineIsFormattedByTheEngine) {
    const std::string bytes = captureStdout([] { consolePrintf("\r%s firmware: %3u%% complete.", "Main", 7); });
    EXPECT_EQ(bytes, "\rMain firmware:   7% complete.");
}

TEST(Console, StaysInOrderWithTheRuntimesOutput) {
    const std::string bytes = captureStdout([] {
        std::printf("a");
        consolePrintf("%u", 5);
        std::printf("c");
        consolePutString("d");
        consolePutChar(0x165);
        consolePutChar(0xE9);
        std::fputs("\n", stdout);
    });
    EXPECT_EQ(bytes, "a5cde\xE9\n");
}

std::string mirrored;

TEST(Console, MirrorReceivesExactlyWhatEveryConsoleFunctionPrints) {
    mirrored.clear();
    setConsoleMirror([](const char* text, int length) { mirrored.append(text, static_cast<std::size_t>(length)); });
    const std::string bytes = captureStdout([] {
        consoleMessage("\nCOM%u: %.*s", 3u, 2, "Sonavex");
        consolePrintf("%3u%%", 7);
        consolePutString(" done");
        consolePutChar('\n');
    });
    setConsoleMirror(nullptr);
    EXPECT_EQ(bytes, "\nCOM3: So  7% done\n");
    EXPECT_EQ(mirrored, bytes);
}

// A switch updated beside others: its text as whole lines named by its port,
// however long the name, or, on a terminal's board, over its own row cut short
// of the terminal's width; its last line is kept.
TEST(Console, LineSinkWritesWholeLinesOrRedrawsItsRow) {
    struct Case {
        const char* name;
        int boardRows;
        int columns;
        int row;
        std::string prefix;
        std::string printed;
    };
    const std::string longPrefix = "/dev/serial/by-id/usb-" + std::string(300, 'x');
    const Case cases[] = {
        {"no board", 0, 0, 1, "COM4", "COM4: Updating: 45%\nCOM4: Error 1: lost\n"},
        {"long prefix, no board", 0, 0, 0, longPrefix,
         longPrefix + ": Updating: 45%\n" + longPrefix + ": Error 1: lost\n"},
        {"second of two rows", 2, 80, 1, "COM4",
         "\n\n\x1B[1A\r\x1B[KCOM4: Updating: 45%\x1B[1B\r\x1B[1A\r\x1B[KCOM4: Error 1: lost\x1B[1B\r"},
        {"row cut short of 12 columns", 1, 12, 0, "COM4",
         "\n\x1B[1A\r\x1B[KCOM4: Updat\x1B[1B\r\x1B[1A\r\x1B[KCOM4: Error\x1B[1B\r"},
        {"prefix wider than the row", 1, 4, 0, longPrefix, "\n\x1B[1A\r\x1B[K/de\x1B[1B\r\x1B[1A\r\x1B[K/de\x1B[1B\r"},
    };
    for (const Case& c : cases) {
        mirrored.clear();
        setConsoleMirror([](const char* text, int length) { mirrored.append(text, static_cast<std::size_t>(length)); });
        OutputSink sink;
        sink.linePrefix = c.prefix.c_str();
        sink.boardRow = c.row;
        const std::string bytes = captureStdout([&] {
            if (c.boardRows > 0) consoleStartBoard(c.boardRows, c.columns);
            sinkPrintf(&sink, "\rUpdating: %u%%", 45);
            sinkFlush(&sink);
            sinkMessage(&sink, "\n\nError %u: lost\n", 1);
            consoleEndBoard();
        });
        setConsoleMirror(nullptr);
        EXPECT_EQ(bytes, c.printed) << c.name;
        EXPECT_EQ(mirrored,
                  std::string(c.boardRows, '\n') + c.prefix + ": Updating: 45%\n" + c.prefix + ": Error 1: lost\n")
            << c.name;
        EXPECT_STREQ(sink.lastLine, "Error 1: lost") << c.name;
    }
}

// The console of a run whose report names the pass's last message: the text
// goes out as it is, and its last line is kept as a line sink keeps it.
TEST(Console, KeepsTheLastLineOfItsOwnTextWhenAsked) {
    OutputSink sink;
    sink.keepLastLine = true;
    const std::string bytes = captureStdout([&] {
        sinkPrintf(&sink, "\rUpdating: %u%%", 45);
        sinkFlush(&sink);
        sinkMessage(&sink, "\n\nError %u: lost\n", 1);
    });
    EXPECT_EQ(bytes, "\rUpdating: 45%\n\nError 1: lost\n");
    EXPECT_STREQ(sink.lastLine, "Error 1: lost");
}

}   // namespace
