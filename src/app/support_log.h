// The support log asked for with --log: a header line, a copy of all console
// text and a timestamped trace of the line, appended to a file.
#pragma once

// Opens `path` for appending and writes the header line. 0 the log is open;
// otherwise the system's error number, and nothing is printed: the log is
// opened before the banner, so that it holds all console text, and the
// reason belongs after the banner.
int startSupportLog(const char* path);

// Prints why the log at `path` could not be opened.
void reportUnopenableLog(const char* path, int error);
