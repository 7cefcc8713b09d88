// The support log's file: a copy of all console text and a timestamped trace
// of the serial line, appended as one record per line. Every function but
// supportLogOpen does nothing while no log is open, so the protocol code calls
// them unconditionally.
//
// A record is "<seconds since open> <kind> <text>", the text escaped so that
// a record stays on one line ("\\", "\r", "\n", "\xHH" for other controls):
//   |  console text, cut at each newline (the newline kept, escaped)
//   >  bytes sent to the switch, as sent
//   <  one line received from the switch, as the line reader stored it
//   !  an expected answer that did not come
//   #  a note: a summary of data lines, the command a failure belongs to
#pragma once

// Opens `path` for appending. 0 open; otherwise the errno of the failure.
int supportLogOpen(const char* path);
bool supportLogIsOpen();

// Writes `text` and a newline as they stand, without time or kind.
void supportLogPlainLine(const char* text);

// The console mirror (see setConsoleMirror): collects console text into records.
void supportLogConsole(const char* text, int length);

void traceSent(const void* bytes, int count);
void traceSentText(const char* text);
void traceReceived(const char* line);
void traceNoAnswer();
void traceNote(const char* format, ...);

// Writes out pending console text and closes the file (also run at exit).
void supportLogClose();
