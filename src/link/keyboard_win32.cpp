// The keyboard on Windows. On a console the runtime's _kbhit/_getch deliver
// keys as the console reports them (a function key as 0 or 224 and a second
// code). When standard input is a pipe or a file, each byte of it is one key,
// read raw so that a script's CR or Ctrl-Z arrives as itself.
#include "link/keyboard.h"

#include <conio.h>
#include <windows.h>

#include <cstdio>

namespace {

// A byte taken ahead by kbdHit from a file, which has no way to peek, and the
// Ctrl-C events counted while they are caught (by the console's handler thread).
struct KeyboardState {
    int aheadKey = KEY_END_OF_INPUT;
    volatile LONG interrupts = 0;
};
KeyboardState keyboardState;

BOOL WINAPI countInterrupt(DWORD event) {
    if (event != CTRL_C_EVENT && event != CTRL_BREAK_EVENT) return FALSE;
    return InterlockedIncrement(&keyboardState.interrupts) == 1 ? TRUE : FALSE;   // the second ends the program
}

bool isConsole(HANDLE input) {
    DWORD mode = 0;
    return GetConsoleMode(input, &mode) != 0;
}

// One byte of redirected input; KEY_END_OF_INPUT at its end or on failure
// (a pipe whose writer has gone reports ERROR_BROKEN_PIPE, a file 0 bytes).
int readByte(HANDLE input) {
    unsigned char byte = 0;
    DWORD got = 0;
    if (!ReadFile(input, &byte, 1, &got, nullptr) || got != 1) return KEY_END_OF_INPUT;
    return byte;
}

int redirectedHit(HANDLE input) {
    if (keyboardState.aheadKey != KEY_END_OF_INPUT) return 1;
    if (GetFileType(input) == FILE_TYPE_PIPE) {
        DWORD available = 0;
        return PeekNamedPipe(input, nullptr, 0, nullptr, &available, nullptr) && available > 0 ? 1 : 0;
    }
    // A file or a character device other than the console: reading one
    // byte does not block, so take it ahead.
    keyboardState.aheadKey = readByte(input);
    return keyboardState.aheadKey != KEY_END_OF_INPUT ? 1 : 0;
}

int redirectedGetch(HANDLE input) {
    int key = keyboardState.aheadKey;
    keyboardState.aheadKey = KEY_END_OF_INPUT;
    return key != KEY_END_OF_INPUT ? key : readByte(input);
}

}   // namespace

int kbdHit() {
    std::fflush(stdout);
    HANDLE input = GetStdHandle(STD_INPUT_HANDLE);
    if (input == nullptr || input == INVALID_HANDLE_VALUE) return 0;
    if (isConsole(input)) return _kbhit() != 0 ? 1 : 0;
    return redirectedHit(input);
}

int kbdGetch() {
    std::fflush(stdout);
    HANDLE input = GetStdHandle(STD_INPUT_HANDLE);
    if (input == nullptr || input == INVALID_HANDLE_VALUE) return KEY_END_OF_INPUT;
    if (isConsole(input)) return _getch();
    return redirectedGetch(input);
}

void kbdCatchInterrupt() {
    SetConsoleCtrlHandler(countInterrupt, TRUE);
}

bool kbdInterrupted() {
    return keyboardState.interrupts != 0;
}
