// Whether standard output is a terminal that can redraw a line in place
// (ANSI cursor movement): several switches' progress is then shown one row
// each. Implemented once per platform.
#pragma once

// True when standard output is such a terminal; on Windows this also turns
// the console's handling of those sequences on.
bool terminalCanRedraw();

// The width of the terminal on standard output in columns; 80 when it is unknown.
constexpr int TERMINAL_DEFAULT_COLUMNS = 80;
int terminalColumns();
