// The console keyboard. On a terminal keys are read unbuffered and unechoed;
// when standard input is redirected each byte of it is one key.
#pragma once

constexpr int KEY_END_OF_INPUT = -1;

// 1 when a key is waiting; 0 otherwise, and always 0 at end of input.
int kbdHit();
// Waits for one key and returns its code (0..255); a function key yields 0 or
// 224 and then a second code. Returns KEY_END_OF_INPUT when input has ended.
int kbdGetch();
// Both flush standard output first, so a prompt is visible before any wait.

// From now on the first Ctrl-C (on POSIX also SIGTERM) only sets a flag that
// kbdInterrupted reads, so that a run can end in order; a second one ends the
// program at once, the terminal restored.
void kbdCatchInterrupt();
bool kbdInterrupted();
