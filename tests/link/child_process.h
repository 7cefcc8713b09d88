// A forked copy of the test that runs one scenario with its own standard
// streams and reports integer codes back through a pipe. Each child starts
// with the keyboard untouched, since the parent never reads keys.
#pragma once
#include <cstddef>
#include <functional>
#include <vector>

#include <sys/types.h>

class ChildProcess {
  public:
    // `setup` runs first in the child (redirect streams, close the parent's
    // ends); `body` then runs and reports through reportCode(fd, code).
    ChildProcess(const std::function<void()>& setup, const std::function<void(int)>& body);
    ~ChildProcess();
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;

    // The next `count` reported codes; fewer when the child ended or
    // `timeoutMs` passed without a report.
    std::vector<int> codes(std::size_t count, int timeoutMs = 5000);
    // Waits for the child's end and returns its wait status; after
    // `timeoutMs` the child is killed and -1 returned.
    int wait(int timeoutMs = 5000);
    pid_t pid() const { return pid_; }

  private:
    pid_t pid_ = -1;
    int results_ = -1;
};

void reportCode(int fd, int code);
