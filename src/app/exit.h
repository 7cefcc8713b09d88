// The one way the program ends.
#pragma once

extern int automaticMode;   // run settings: 0 until start-up fixes them to 1
extern int promptAtExit;

// Closes the port, waits for a key when the run settings ask for it, and ends
// the process with `status`.
[[noreturn]] void exitProgram(int status);
