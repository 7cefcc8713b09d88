#include "link/child_process.h"

#include <cerrno>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <stdexcept>

#include <poll.h>
#include <sys/wait.h>
#include <unistd.h>

#include "link/clock.h"

ChildProcess::ChildProcess(const std::function<void()>& setup, const std::function<void(int)>& body) {
    int channel[2];
    if (pipe(channel) != 0) throw std::runtime_error("pipe failed");
    std::fflush(nullptr);
    pid_ = fork();
    if (pid_ < 0) throw std::runtime_error("fork failed");
    if (pid_ == 0) {
        close(channel[0]);
        setup();
        body(channel[1]);
        _exit(0);
    }
    close(channel[1]);
    results_ = channel[0];
}

ChildProcess::~ChildProcess() {
    (void)wait(0);
    close(results_);
}

std::vector<int> ChildProcess::codes(std::size_t count, int timeoutMs) {
    std::vector<int> got;
    while (got.size() < count) {
        pollfd entry = {results_, POLLIN, 0};
        if (poll(&entry, 1, timeoutMs) <= 0) break;
        int code;
        if (read(results_, &code, sizeof code) != static_cast<ssize_t>(sizeof code)) break;
        got.push_back(code);
    }
    return got;
}

int ChildProcess::wait(int timeoutMs) {
    if (pid_ <= 0) return -1;
    std::uint32_t start = msNow();
    int status = 0;
    for (;;) {
        pid_t done = waitpid(pid_, &status, WNOHANG);
        if (done == pid_) break;
        if (done < 0 && errno != EINTR) return -1;
        if (msElapsed(start, static_cast<std::uint32_t>(timeoutMs)) != 0) {
            kill(pid_, SIGKILL);
            waitpid(pid_, &status, 0);
            pid_ = -1;
            return -1;
        }
        msSleep(5);
    }
    pid_ = -1;
    return status;
}

void reportCode(int fd, int code) {
    if (write(fd, &code, sizeof code) != static_cast<ssize_t>(sizeof code)) _exit(3);
}
