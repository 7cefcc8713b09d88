#include "link/terminal.h"

#include <windows.h>

bool terminalCanRedraw() {
    HANDLE output = GetStdHandle(STD_OUTPUT_HANDLE);
    DWORD mode = 0;
    if (output == INVALID_HANDLE_VALUE || GetConsoleMode(output, &mode) == 0) return false;
    return SetConsoleMode(output, mode | ENABLE_VIRTUAL_TERMINAL_PROCESSING) != 0;
}

// The buffer's width, not the window's: lines wrap at the buffer's edge.
int terminalColumns() {
    CONSOLE_SCREEN_BUFFER_INFO info;
    if (GetConsoleScreenBufferInfo(GetStdHandle(STD_OUTPUT_HANDLE), &info) == 0 || info.dwSize.X <= 0) {
        return TERMINAL_DEFAULT_COLUMNS;
    }
    return info.dwSize.X;
}
