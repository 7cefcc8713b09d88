// The support log's file: a copy of all console text and a timestamped trace
// of the serial line, appended as one record per line. Every function but
// supportLogOpen does nothing while no log is open, so the protocol code calls
// them unconditionally.
//
// A record is "<seconds since open> <kind> <text>", the text escaped so that
// a record stays on one line ("\\", "\r", "\n", "\xHH" for other controls).
// A trace record of a port worked on beside others names it after the time
// ("<seconds> <port> <kind> <text>"); the trace functions take that name
// (`port`), nullptr when the run works on one port. Records are written whole,
// from any thread.
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

void traceSent(const char* port, const void* bytes, int count);
void traceSentText(const char* port, const char* text);
void traceReceived(const char* port, const char* line);
void traceNoAnswer(const char* port);
void traceNote(const char* port, const char* format, ...);

// Writes out pending console text and closes the file (also run at exit).
void supportLogClose();
