// The one way the program ends.
#pragma once

// What an ending means. Only runs that ask for it (--info, --yes, --all,
// --version) report these apart; every other run ends with EXIT_FAILED.
constexpr int EXIT_COMPLETED = 0;
constexpr int EXIT_FAILED = 1;
constexpr int EXIT_NOTHING_TO_UPDATE = 2;   // no switch found, or none this program can update

// How the run ends, fixed once at start-up (a run with a person at the
// keyboard waits for a key; an unattended one reports its status).
struct ExitPolicy {
    int automaticMode = 0;        // 1: wait for a key at every ending
    int promptAtExit = 0;         // 1: wait for a key when the status is not EXIT_COMPLETED
    int distinctExitStatus = 0;   // 1: the status tells the endings above apart
};
extern ExitPolicy exitPolicy;

// Makes an ending without a key wait finish the console's last line, so that
// the shell prompt of an unattended run starts on a line of its own. Follows
// the console text from the call on (through the console mirror, which it
// passes on to the support log).
void endWithLineEnd();

// Waits for a key when the exit policy asks for it (else ends an open line
// when endWithLineEnd asked for it), and ends the process with `status`
// (EXIT_FAILED unless distinctExitStatus is set). Every port must be closed
// by then: sessions close theirs when they end.
[[noreturn]] void exitProgram(int status);
