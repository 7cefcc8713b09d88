#include "link/terminal.h"

#include <unistd.h>

#include <cstdlib>
#include <cstring>

bool terminalCanRedraw() {
    const char* term = std::getenv("TERM");
    return isatty(STDOUT_FILENO) == 1 && term != nullptr && term[0] != '\0' && std::strcmp(term, "dumb") != 0;
}
