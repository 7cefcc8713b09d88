// The one way the program ends.
#pragma once

// What an ending means. Only runs that ask for it (--info, --yes, --version)
// report these apart; every other run ends with EXIT_FAILED, whatever happened.
constexpr int EXIT_COMPLETED = 0;
constexpr int EXIT_FAILED = 1;
constexpr int EXIT_NOTHING_TO_UPDATE = 2;   // no switch found, or none this program can update

extern int automaticMode;   // run settings: 0 until start-up fixes them to 1
extern int promptAtExit;
extern int distinctExitStatus;   // 1: the status tells the endings above apart

// Makes an ending without a key wait finish the console's last line, so that
// the shell prompt of an unattended run starts on a line of its own. Follows
// the console text from the call on (through the console mirror, which it
// passes on to the support log).
void endWithLineEnd();

struct SerialPort;

// The port of the switch being worked on is closed before the key wait, so
// another program may open it while this one waits. Thread-safe.
void holdPortUntilExit(SerialPort* port);

// Closes the ports held, waits for a key when the run settings ask for it (else ends
// an open line when endWithLineEnd asked for it), and ends the process with
// `status` (EXIT_FAILED unless distinctExitStatus is set).
[[noreturn]] void exitProgram(int status);
