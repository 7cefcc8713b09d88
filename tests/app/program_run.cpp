#include "app/program_run.h"

#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <stdexcept>

std::string programPath() {
    const char* dir = std::getenv("BMFWU_BUILD_DIR");
    return std::string(dir != nullptr ? dir : ".") + "/src/app/bmfwu";
}

TempDir::TempDir() {
    char pattern[] = "/tmp/bmfwu-test-XXXXXX";
    if (mkdtemp(pattern) == nullptr) throw std::runtime_error("mkdtemp failed");
    path_ = pattern;
}

TempDir::~TempDir() {
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
}

namespace {

pid_t startChild(const std::vector<std::string>& arguments, const std::string& portDir, int stdinFd,
                 int stdoutFd) {
    const std::string path = programPath();
    const pid_t pid = fork();
    if (pid != 0) return pid;
    dup2(stdinFd, 0);
    dup2(stdoutFd, 1);
    close_range(3, ~0u, 0);   // the simulated switch's pseudo-terminal stays with the test
    setenv("BMFWU_PORT_DIR", portDir.c_str(), 1);
    std::vector<char*> argv{const_cast<char*>(path.c_str())};
    for (const std::string& argument : arguments) argv.push_back(const_cast<char*>(argument.c_str()));
    argv.push_back(nullptr);
    execv(path.c_str(), argv.data());
    _exit(127);
}

int waitStatus(pid_t pid) {
    int status = 0;
    if (waitpid(pid, &status, 0) != pid) return -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

}  // namespace

ProgramRun runProgram(const std::vector<std::string>& arguments, const std::string& portDir,
                      const std::vector<KeyAfter>& steps, unsigned timeoutMs) {
    int in[2], out[2];
    if (pipe(in) != 0 || pipe(out) != 0) throw std::runtime_error("pipe failed");
    signal(SIGPIPE, SIG_IGN);
    const pid_t pid = startChild(arguments, portDir, in[0], out[1]);
    close(in[0]);
    close(out[1]);
    int keysFd = in[1];

    ProgramRun run;
    std::size_t step = 0, searchFrom = 0;
    const auto start = std::chrono::steady_clock::now();
    auto elapsedMs = [&] {
        return static_cast<unsigned>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                         std::chrono::steady_clock::now() - start).count());
    };
    for (;;) {
        while (keysFd >= 0 && step < steps.size()) {
            const std::size_t at = run.output.find(steps[step].text, searchFrom);
            if (at == std::string::npos) break;
            searchFrom = at + steps[step].text.size();
            const std::string& keys = steps[step].keys;
            if (!keys.empty() && write(keysFd, keys.data(), keys.size()) < 0) break;
            ++step;
        }
        if (keysFd >= 0 && step == steps.size()) {
            close(keysFd);
            keysFd = -1;
        }
        if (elapsedMs() > timeoutMs) {
            run.timedOut = true;
            kill(pid, SIGKILL);
            break;
        }
        pollfd readable{out[0], POLLIN, 0};
        if (poll(&readable, 1, 50) <= 0) continue;
        char buffer[4096];
        const ssize_t got = read(out[0], buffer, sizeof buffer);
        if (got <= 0) break;
        run.output.append(buffer, static_cast<std::size_t>(got));
    }
    if (keysFd >= 0) close(keysFd);
    close(out[0]);
    run.status = waitStatus(pid);
    run.elapsedMs = elapsedMs();
    return run;
}
