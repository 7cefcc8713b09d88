// Helpers shared by the Windows link tests.
#pragma once
#include <string>

// Runs `action` with the C runtime's stdout sent to a file and returns what
// it wrote, byte for byte (binary mode: no CR is added).
template <typename Action>
std::string captureStdout(Action action);

// True when the process runs under Wine, which leaves some device rules
// (exclusive open, DTR, pending writes) unenforced.
bool runningUnderWine();

// The COM port number a loop-back peer is linked to (BMFWU_TEST_COM), 0 when
// the tests run without one.
unsigned peerComPort();

// A COM port number linked to something that is no serial device
// (BMFWU_TEST_NOT_SERIAL_COM), 0 when there is none.
unsigned notSerialComPort();

// Number of valid handles in the process. Counted one by one because Wine's
// GetProcessHandleCount reports 0.
int openHandleCount();

// Implementation of captureStdout's two halves.
int beginCapture();
std::string endCapture(int savedStdout);

template <typename Action>
std::string captureStdout(Action action) {
    int saved = beginCapture();
    action();
    return endCapture(saved);
}
