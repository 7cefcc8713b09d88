// The console keyboard with standard input a pipe and a terminal. Every
// scenario runs in a child process so each starts with an untouched keyboard.
#include <gtest/gtest.h>

#include <csignal>
#include <cstdio>
#include <string>
#include <vector>

#include <fcntl.h>
#include <poll.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include "link/child_process.h"
#include "link/clock.h"
#include "link/keyboard.h"
#include "link/pty_peer.h"

namespace {

constexpr int READY = 1000;   // reported once the child holds the keyboard

void useAsStdin(int fd, int closeAlso) {
    if (dup2(fd, STDIN_FILENO) < 0) _exit(4);
    close(fd);
    if (closeAlso >= 0) close(closeAlso);
    for (int signalNumber : {SIGINT, SIGTERM, SIGHUP, SIGQUIT}) std::signal(signalNumber, SIG_DFL);
}

struct Pipe {
    Pipe() {
        if (pipe(ends) != 0) ADD_FAILURE() << "pipe failed";
    }
    ~Pipe() {
        closeReader();
        closeWriter();
    }
    void closeReader() {
        if (ends[0] >= 0) close(ends[0]);
        ends[0] = -1;
    }
    void closeWriter() {
        if (ends[1] >= 0) close(ends[1]);
        ends[1] = -1;
    }
    bool write(const std::string& bytes) {
        return ::write(ends[1], bytes.data(), bytes.size()) == static_cast<ssize_t>(bytes.size());
    }
    // What arrived within `timeoutMs`.
    std::string read(int timeoutMs) {
        pollfd entry = {ends[0], POLLIN, 0};
        if (poll(&entry, 1, timeoutMs) <= 0) return {};
        char buffer[256];
        ssize_t got = ::read(ends[0], buffer, sizeof buffer);
        return got > 0 ? std::string(buffer, static_cast<std::size_t>(got)) : std::string();
    }
    int ends[2] = {-1, -1};
};

// Runs with the pty slave as standard input; the parent keeps the master.
ChildProcess childOnTerminal(PtyPeer& peer, const std::function<void(int)>& body) {
    std::string slave = peer.slavePath();
    int master = peer.master();
    return ChildProcess(
        [slave, master] {
            int fd = open(slave.c_str(), O_RDWR | O_NOCTTY);
            if (fd < 0) _exit(5);
            useAsStdin(fd, master);
        },
        body);
}

tcflag_t localModes(const PtyPeer& peer) {
    termios settings{};
    EXPECT_EQ(tcgetattr(peer.master(), &settings), 0);
    return settings.c_lflag & (ICANON | ECHO);
}

TEST(KeyboardOnPipe, EachByteIsAKeyUntilTheInputEnds) {
    Pipe input;
    ASSERT_TRUE(input.write(std::string("Yn\0\xff\x1bOQ", 7)));
    input.closeWriter();
    int reader = input.ends[0];
    ChildProcess child([reader] { useAsStdin(reader, -1); },
                       [](int out) {
                           reportCode(out, kbdHit());
                           for (int i = 0; i < 9; ++i) reportCode(out, kbdGetch());
                           reportCode(out, kbdHit());
                       });
    const std::vector<int> expected = {1, 'Y', 'n', 0, 255, 27, 'O', 'Q', KEY_END_OF_INPUT, KEY_END_OF_INPUT, 0};
    EXPECT_EQ(child.codes(expected.size()), expected);
}

TEST(KeyboardOnPipe, HitNeverWaitsForInput) {
    Pipe input;
    int reader = input.ends[0];
    int writer = input.ends[1];
    ChildProcess child([reader, writer] { useAsStdin(reader, writer); },
                       [](int out) {
                           reportCode(out, kbdHit());
                           reportCode(out, READY);
                           std::uint32_t start = msNow();
                           while (kbdHit() == 0 && msElapsed(start, 5000) == 0) msSleep(1);
                           reportCode(out, kbdGetch());
                           reportCode(out, kbdGetch());
                           reportCode(out, kbdHit());
                       });
    EXPECT_EQ(child.codes(2), (std::vector<int>{0, READY}));
    ASSERT_TRUE(input.write("k"));
    EXPECT_EQ(child.codes(1), std::vector<int>{'k'});
    input.closeWriter();
    EXPECT_EQ(child.codes(2), (std::vector<int>{KEY_END_OF_INPUT, 0}));
}

// A program reading our output through a pipe must see each prompt before
// we wait for the answer.
TEST(KeyboardOnPipe, PromptsAreFlushedBeforeWaiting) {
    Pipe input;
    Pipe output;
    int reader = input.ends[0];
    int writer = input.ends[1];
    int outputReader = output.ends[0];
    int outputWriter = output.ends[1];
    ChildProcess child(
        [=] {
            if (dup2(outputWriter, STDOUT_FILENO) < 0) _exit(4);
            close(outputWriter);
            close(outputReader);
            useAsStdin(reader, writer);
        },
        [](int out) {
            std::printf("Update? ");
            while (kbdHit() == 0) msSleep(1);
            reportCode(out, kbdGetch());
            std::printf("(Y/N) ");
            reportCode(out, kbdGetch());
        });
    output.closeWriter();
    EXPECT_EQ(output.read(2000), "Update? ") << "seen while the program polls for a key";
    ASSERT_TRUE(input.write("y"));
    EXPECT_EQ(child.codes(1), std::vector<int>{'y'});
    EXPECT_EQ(output.read(2000), "(Y/N) ") << "seen while the program waits for a key";
    ASSERT_TRUE(input.write("n"));
    EXPECT_EQ(child.codes(1), std::vector<int>{'n'});
}

TEST(KeyboardOnTerminal, KeysComeAsTheWindowsConsoleReportsThem) {
    struct Case {
        const char* bytes;
        std::vector<int> codes;
    };
    const std::vector<Case> cases = {
        {"\x1bOQ", {0, 60}},
        {"\x1bOP", {0, 59}},
        {"\x1b[[E", {0, 63}},
        {"\x1b[11~", {0, 59}},
        {"\x1b[21~", {0, 68}},
        {"\x1b[23~", {224, 133}},
        {"\x1b[24~", {224, 134}},
        {"\x1b[A", {224, 72}},
        {"\x1bOB", {224, 80}},
        {"\x1b[D", {224, 75}},
        {"\x1b[C", {224, 77}},
        {"\x1b[1;5A", {224, 72}},
        {"\x1b[H", {224, 71}},
        {"\x1b[4~", {224, 79}},
        {"\x1b[2~", {224, 82}},
        {"\x1b[3~", {224, 83}},
        {"\x1b[5~", {224, 73}},
        {"\x1b[6~", {224, 81}},
        {"\x1b", {27}},
        {"\x1bx", {27, 'x'}},
        {"\x1b[99~y", {'y'}},
        {"q", {'q'}},
        {"\r", {13}},
    };
    PtyPeer peer;
    ChildProcess child = childOnTerminal(peer, [&cases](int out) {
        reportCode(out, kbdHit());
        reportCode(out, READY);
        for (const Case& c : cases) {
            for (std::size_t i = 0; i < c.codes.size(); ++i) reportCode(out, kbdGetch());
        }
    });
    ASSERT_EQ(child.codes(2), (std::vector<int>{0, READY}));
    EXPECT_EQ(localModes(peer), 0u) << "keys unbuffered and unechoed";
    for (const Case& c : cases) {
        ASSERT_TRUE(peer.send(c.bytes));
        EXPECT_EQ(child.codes(c.codes.size()), c.codes) << "bytes " << std::string(c.bytes).substr(1);
    }
}

TEST(KeyboardOnTerminal, HitSeesAWholeFunctionKey) {
    PtyPeer peer;
    ChildProcess child = childOnTerminal(peer, [](int out) {
        reportCode(out, kbdHit());
        reportCode(out, READY);
        std::uint32_t start = msNow();
        while (kbdHit() == 0 && msElapsed(start, 5000) == 0) msSleep(1);
        reportCode(out, kbdGetch());
        reportCode(out, kbdHit());
        reportCode(out, kbdGetch());
        reportCode(out, kbdHit());
    });
    ASSERT_EQ(child.codes(2), (std::vector<int>{0, READY}));
    ASSERT_TRUE(peer.send("\x1b[A"));
    EXPECT_EQ(child.codes(4), (std::vector<int>{224, 1, 72, 0}));
}

TEST(KeyboardOnTerminal, HangUpEndsTheInput) {
    PtyPeer peer;
    ChildProcess child = childOnTerminal(peer, [](int out) {
        reportCode(out, kbdHit());
        reportCode(out, READY);
        reportCode(out, kbdGetch());
        reportCode(out, kbdHit());
    });
    ASSERT_EQ(child.codes(2), (std::vector<int>{0, READY}));
    peer.hangUp();
    EXPECT_EQ(child.codes(2), (std::vector<int>{KEY_END_OF_INPUT, 0}));
}

TEST(KeyboardOnTerminal, TerminalIsRestoredAtExit) {
    PtyPeer peer;
    ChildProcess child = childOnTerminal(peer, [](int out) {
        reportCode(out, kbdHit());
        std::exit(0);
    });
    EXPECT_EQ(child.codes(1), std::vector<int>{0});
    child.wait();
    EXPECT_EQ(localModes(peer), static_cast<tcflag_t>(ICANON | ECHO));
}

TEST(KeyboardOnTerminal, TerminalIsRestoredWhenASignalEndsTheProgram) {
    for (int signalNumber : {SIGINT, SIGTERM, SIGHUP}) {
        PtyPeer peer;
        ChildProcess child = childOnTerminal(peer, [](int out) {
            reportCode(out, kbdHit());
            reportCode(out, READY);
            reportCode(out, kbdGetch());
        });
        ASSERT_EQ(child.codes(2), (std::vector<int>{0, READY}));
        EXPECT_EQ(localModes(peer), 0u);
        kill(child.pid(), signalNumber);
        int status = child.wait();
        EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == signalNumber) << signalNumber;
        EXPECT_EQ(localModes(peer), static_cast<tcflag_t>(ICANON | ECHO)) << signalNumber;
    }
}

// The first interrupt is counted and the second ends the program, unless the
// caller chose to ignore interrupts (a shell's background job): they stay ignored.
TEST(KeyboardInterrupts, FirstIsCountedUnlessTheCallerIgnoresThem) {
    struct Case {
        const char* what;
        void (*disposition)(int);
        std::vector<int> interrupted;   // kbdInterrupted before, after one and after two
        bool endedBySignal;
    };
    const Case cases[] = {
        {"default", SIG_DFL, {0, 1}, true},
        {"ignored", SIG_IGN, {0, 0, 0}, false},
    };
    for (const Case& c : cases) {
        auto disposition = c.disposition;
        ChildProcess child([disposition] { std::signal(SIGINT, disposition); },
                           [](int out) {
                               kbdCatchInterrupt();
                               for (int raised = 0; raised < 3; ++raised) {
                                   if (raised > 0) std::raise(SIGINT);
                                   reportCode(out, kbdInterrupted() ? 1 : 0);
                               }
                           });
        EXPECT_EQ(child.codes(3), c.interrupted) << c.what;
        int status = child.wait();
        EXPECT_EQ(WIFSIGNALED(status) && WTERMSIG(status) == SIGINT, c.endedBySignal) << c.what;
    }
}

}   // namespace
