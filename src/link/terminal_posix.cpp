#include "link/terminal.h"

#include <sys/ioctl.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>

bool terminalCanRedraw() {
    const char* term = std::getenv("TERM");
    return isatty(STDOUT_FILENO) == 1 && term != nullptr && term[0] != '\0' && std::strcmp(term, "dumb") != 0;
}

int terminalColumns() {
    winsize size{};
    if (ioctl(STDOUT_FILENO, TIOCGWINSZ, &size) != 0 || size.ws_col == 0) return TERMINAL_DEFAULT_COLUMNS;
    return size.ws_col;
}
