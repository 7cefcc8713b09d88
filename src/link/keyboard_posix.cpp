#include "link/keyboard.h"

#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>

#include <poll.h>
#include <termios.h>
#include <unistd.h>

namespace {

constexpr int STDIN_FD = 0;
constexpr int ESC = 0x1B;
// The bytes of one escape sequence arrive together; a lone ESC is followed by nothing.
constexpr int ESCAPE_FOLLOW_MS = 25;
constexpr int WAIT_FOREVER = -1;
constexpr int NO_BYTE = -1;
constexpr int END_OF_INPUT = -2;
constexpr int MAX_SEQUENCE = 16;
constexpr int QUEUE_SIZE = 8;

// The prefixes the Windows console puts before the code of a special key.
constexpr int FUNCTION_PREFIX = 0;
constexpr int EXTENDED_PREFIX = 224;

struct KeyCode {
    int prefix;
    int code;
};

struct LetterKey {
    char final;
    KeyCode key;
};

struct NumberKey {
    int number;
    KeyCode key;
};

// Finals shared by "ESC [" and "ESC O" sequences (modifier parameters ignored).
constexpr LetterKey LETTER_KEYS[] = {
    {'A', {EXTENDED_PREFIX, 72}}, {'B', {EXTENDED_PREFIX, 80}}, {'C', {EXTENDED_PREFIX, 77}},
    {'D', {EXTENDED_PREFIX, 75}}, {'H', {EXTENDED_PREFIX, 71}}, {'F', {EXTENDED_PREFIX, 79}},
    {'P', {FUNCTION_PREFIX, 59}}, {'Q', {FUNCTION_PREFIX, 60}}, {'R', {FUNCTION_PREFIX, 61}},
    {'S', {FUNCTION_PREFIX, 62}},
};

// "ESC [ n ~" sequences of xterm, rxvt and the Linux console.
constexpr NumberKey NUMBER_KEYS[] = {
    {1, {EXTENDED_PREFIX, 71}},   {7, {EXTENDED_PREFIX, 71}},   {4, {EXTENDED_PREFIX, 79}},
    {8, {EXTENDED_PREFIX, 79}},   {2, {EXTENDED_PREFIX, 82}},   {3, {EXTENDED_PREFIX, 83}},
    {5, {EXTENDED_PREFIX, 73}},   {6, {EXTENDED_PREFIX, 81}},   {11, {FUNCTION_PREFIX, 59}},
    {12, {FUNCTION_PREFIX, 60}},  {13, {FUNCTION_PREFIX, 61}},  {14, {FUNCTION_PREFIX, 62}},
    {15, {FUNCTION_PREFIX, 63}},  {17, {FUNCTION_PREFIX, 64}},  {18, {FUNCTION_PREFIX, 65}},
    {19, {FUNCTION_PREFIX, 66}},  {20, {FUNCTION_PREFIX, 67}},  {21, {FUNCTION_PREFIX, 68}},
    {23, {EXTENDED_PREFIX, 133}}, {24, {EXTENDED_PREFIX, 134}},
};

// The Linux console sends F1..F5 as "ESC [ [ A".."ESC [ [ E".
constexpr int LINUX_CONSOLE_F1 = 59;

struct Keyboard {
    bool started;
    bool terminal;
    bool ended;
    int codes[QUEUE_SIZE];
    int first;
    int count;
};

Keyboard keyboard;
termios savedTerminal;
// Written by signal handlers, which may run on any thread while another reads
// them: the terminal's settings were changed, and how many interrupts came
// while they are caught. Lock-free, so a handler may touch them.
struct SignalState {
    std::atomic<int> terminalChanged;
    std::atomic<int> interrupts;
};
static_assert(std::atomic<int>::is_always_lock_free, "signal handlers need lock-free atomics");
SignalState signalState;

constexpr int RESTORED_SIGNALS[] = {SIGINT, SIGTERM, SIGHUP, SIGQUIT};

// Async-signal-safe: called from the signal handlers as well as at exit.
void restoreTerminal() {
    if (signalState.terminalChanged.exchange(0) != 0) (void)tcsetattr(STDIN_FD, TCSANOW, &savedTerminal);
}

extern "C" void restoreAtExit() {
    restoreTerminal();
}

extern "C" void restoreAndReraise(int signalNumber) {
    restoreTerminal();
    (void)std::signal(signalNumber, SIG_DFL);
    (void)std::raise(signalNumber);
}

extern "C" void countInterrupt(int signalNumber) {
    if (signalState.interrupts.fetch_add(1) == 0) return;
    restoreAndReraise(signalNumber);
}

bool ignored(int signalNumber) {
    struct sigaction current = {};
    return sigaction(signalNumber, nullptr, &current) != 0 || current.sa_handler == SIG_IGN;
}

// Handlers go only where the default action would end the program; a signal
// the caller ignores or handles itself is left alone.
void installRestoringHandlers() {
    for (int signalNumber : RESTORED_SIGNALS) {
        struct sigaction current = {};
        if (sigaction(signalNumber, nullptr, &current) != 0 || current.sa_handler != SIG_DFL) continue;
        struct sigaction restoring = {};
        restoring.sa_handler = restoreAndReraise;
        if (sigemptyset(&restoring.sa_mask) != 0) continue;
        (void)sigaction(signalNumber, &restoring, nullptr);
    }
}

// Unbuffered, unechoed keys; Enter arrives as CR as on the Windows console.
// Signals stay on so Ctrl-C still ends the program.
void enterKeyMode() {
    if (tcgetattr(STDIN_FD, &savedTerminal) != 0) {
        keyboard.terminal = false;
        return;
    }
    if (std::atexit(restoreAtExit) != 0) return;
    installRestoringHandlers();
    termios keys = savedTerminal;
    keys.c_lflag &= ~static_cast<tcflag_t>(ICANON | ECHO);
    keys.c_iflag &= ~static_cast<tcflag_t>(ICRNL);
    keys.c_cc[VMIN] = 1;
    keys.c_cc[VTIME] = 0;
    signalState.terminalChanged = 1;
    if (tcsetattr(STDIN_FD, TCSANOW, &keys) != 0) signalState.terminalChanged = 0;
}

void startKeyboard() {
    (void)std::fflush(stdout);
    if (keyboard.started) return;
    keyboard.started = true;
    keyboard.terminal = isatty(STDIN_FD) == 1;
    if (keyboard.terminal) enterKeyMode();
}

void pushCode(int code) {
    if (keyboard.count < QUEUE_SIZE) {
        keyboard.codes[(keyboard.first + keyboard.count) % QUEUE_SIZE] = code;
        ++keyboard.count;
    }
}

void pushKey(KeyCode key) {
    pushCode(key.prefix);
    pushCode(key.code);
}

int popCode() {
    int code = keyboard.codes[keyboard.first];
    keyboard.first = (keyboard.first + 1) % QUEUE_SIZE;
    --keyboard.count;
    return code;
}

// One byte of standard input within `waitMs` (WAIT_FOREVER blocks). Returns
// the byte, NO_BYTE when none came, END_OF_INPUT (and marks it) when input ended.
int readByte(int waitMs) {
    for (;;) {
        pollfd entry = {STDIN_FD, POLLIN, 0};
        int ready = poll(&entry, 1, waitMs);
        if (ready < 0 && errno == EINTR) continue;
        if (ready == 0) return NO_BYTE;
        if (ready < 0 || (entry.revents & POLLNVAL) != 0) break;
        unsigned char byte;
        ssize_t got = read(STDIN_FD, &byte, 1);
        if (got == 1) return byte;
        if (got < 0 && errno == EINTR) continue;
        if (got < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            if (waitMs == WAIT_FOREVER) continue;
            return NO_BYTE;
        }
        break;
    }
    keyboard.ended = true;
    return END_OF_INPUT;
}

int lookUpLetter(int final, KeyCode* key) {
    for (const LetterKey& entry : LETTER_KEYS) {
        if (entry.final == final) {
            *key = entry.key;
            return 1;
        }
    }
    return 0;
}

int lookUpNumber(int number, KeyCode* key) {
    for (const NumberKey& entry : NUMBER_KEYS) {
        if (entry.number == number) {
            *key = entry.key;
            return 1;
        }
    }
    return 0;
}

// Reads the rest of a sequence up to its final byte (0x40..0x7E) and keeps
// its first numeric parameter. Returns the final byte, or 0 when the sequence
// broke off or ran too long.
int readSequence(int* number) {
    *number = 0;
    bool inFirstParameter = true;
    for (int length = 0; length < MAX_SEQUENCE; ++length) {
        int byte = readByte(ESCAPE_FOLLOW_MS);
        if (byte < 0) return 0;
        if (byte >= 0x40 && byte <= 0x7E) return byte;
        if (byte >= '0' && byte <= '9' && inFirstParameter && *number < 1000) {
            *number = *number * 10 + (byte - '0');
        } else {
            inFirstParameter = false;
        }
    }
    return 0;
}

// "ESC [" has been read. Unknown sequences yield no key at all, so their
// bytes cannot be taken for typed characters.
void decodeCsi() {
    int number;
    int final = readSequence(&number);
    KeyCode key;
    if (final == '[') {
        int letter = readByte(ESCAPE_FOLLOW_MS);
        if (letter >= 'A' && letter <= 'E') pushKey({FUNCTION_PREFIX, LINUX_CONSOLE_F1 + letter - 'A'});
    } else if (final == '~') {
        if (lookUpNumber(number, &key) != 0) pushKey(key);
    } else if (lookUpLetter(final, &key) != 0) {
        pushKey(key);
    }
}

void decodeSs3() {
    int number;
    KeyCode key;
    if (lookUpLetter(readSequence(&number), &key) != 0) pushKey(key);
}

// ESC has been read: a lone ESC is key 27, ESC and a plain byte (Alt and a
// key) are 27 and that byte.
void decodeEscape() {
    int next = readByte(ESCAPE_FOLLOW_MS);
    if (next == '[') {
        decodeCsi();
    } else if (next == 'O') {
        decodeSs3();
    } else {
        pushCode(ESC);
        if (next >= 0) pushCode(next);
    }
}

void takeKey(int byte) {
    if (keyboard.terminal && byte == ESC) {
        decodeEscape();
    } else {
        pushCode(byte);
    }
}

}   // namespace

int kbdHit() {
    startKeyboard();
    while (keyboard.count == 0 && !keyboard.ended) {
        int byte = readByte(0);
        if (byte < 0) break;
        takeKey(byte);
    }
    return keyboard.count > 0 ? 1 : 0;
}

int kbdGetch() {
    startKeyboard();
    while (keyboard.count == 0 && !keyboard.ended) {
        int byte = readByte(WAIT_FOREVER);
        if (byte >= 0) takeKey(byte);
    }
    return keyboard.count > 0 ? popCode() : KEY_END_OF_INPUT;
}

void kbdCatchInterrupt() {
    constexpr int CAUGHT_SIGNALS[] = {SIGINT, SIGTERM};
    for (int signalNumber : CAUGHT_SIGNALS) {
        if (ignored(signalNumber)) continue;   // e.g. started in the background by a shell
        struct sigaction counting = {};
        counting.sa_handler = countInterrupt;
        if (sigemptyset(&counting.sa_mask) != 0) continue;
        (void)sigaction(signalNumber, &counting, nullptr);
    }
}

bool kbdInterrupted() {
    return signalState.interrupts.load() != 0;
}
