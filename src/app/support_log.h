// The support log asked for with --log: a header line, a copy of all console
// text and a timestamped trace of the line, appended to a file.
#pragma once

// Opens `path` for appending and writes the header line. 0 the log is open;
// 1 it cannot be opened (the reason has been printed).
int startSupportLog(const char* path);
