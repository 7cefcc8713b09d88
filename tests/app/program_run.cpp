#include "app/program_run.h"

#include <grp.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fcntl.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <stdexcept>

namespace {

std::string environment(const char* name) {
    const char* value = std::getenv(name);
    return value != nullptr ? value : "";
}

// Starting Wine's loader for each run costs time the program's own limits
// must not pay for.
constexpr unsigned WINE_START_ALLOWANCE_MS = 5000;

std::string winePrefix() {
    const std::string prefix = environment("WINEPREFIX");
    if (prefix.empty()) throw std::runtime_error("BMFWU_E2E_WINE is set but WINEPREFIX is not");
    return prefix;
}

void removeComLinks(const std::string& dosdevices) {
    std::error_code ignored;
    for (const auto& entry : std::filesystem::directory_iterator(dosdevices, ignored)) {
        const std::string name = entry.path().filename().string();
        if (name.rfind("com", 0) == 0 && entry.is_symlink(ignored)) std::filesystem::remove(entry.path(), ignored);
    }
}

}   // namespace

bool underWine() {
    const std::string wine = environment("BMFWU_E2E_WINE");
    return !wine.empty() && wine != "0";
}

std::string programPath() {
    const std::string program = environment("BMFWU_E2E_PROGRAM");
    if (!program.empty()) return program;
    const std::string dir = environment("BMFWU_BUILD_DIR");
    return (dir.empty() ? std::string(".") : dir) + "/src/app/bmfwu";
}

TempDir::TempDir() {
    char pattern[] = "/tmp/bmfwu-test-XXXXXX";
    if (mkdtemp(pattern) == nullptr) throw std::runtime_error("mkdtemp failed");
    path_ = pattern;
    comPrefix_ = path_ + "/COM";
    if (!underWine()) return;
    const std::string dosdevices = winePrefix() + "/dosdevices";
    removeComLinks(dosdevices);
    comPrefix_ = dosdevices + "/com";
}

TempDir::~TempDir() {
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
    if (underWine() && !environment("WINEPREFIX").empty()) removeComLinks(environment("WINEPREFIX") + "/dosdevices");
}

namespace {

constexpr uid_t NOBODY = 65534;

// The command line that starts the program: the program itself, or Wine's
// loader in front of it.
std::vector<std::string> commandLine(const std::vector<std::string>& arguments) {
    std::vector<std::string> command;
    if (underWine()) {
        const std::string wine = environment("BMFWU_E2E_WINE");
        command.push_back(wine.find('/') != std::string::npos ? wine : "wine");
    }
    command.push_back(programPath());
    command.insert(command.end(), arguments.begin(), arguments.end());
    return command;
}

// Wine's own diagnostics would otherwise mix with the test's output.
void redirectWineStderr() {
    std::string log = environment("BMFWU_WINE_LOG");
    if (log.empty()) log = winePrefix() + "/wine-stderr.log";
    const int fd = open(log.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
    if (fd >= 0) dup2(fd, 2);
}

pid_t startChild(const std::vector<std::string>& arguments, const std::string& portDir, int stdinFd, int stdoutFd) {
    const std::vector<std::string> command = commandLine(arguments);
    std::vector<char*> argv;
    for (const std::string& word : command) argv.push_back(const_cast<char*>(word.c_str()));
    argv.push_back(nullptr);
    const bool wine = underWine();
    if (wine) winePrefix();   // throws here, in the test, rather than in the child
    const pid_t pid = fork();
    if (pid != 0) return pid;
    dup2(stdinFd, 0);
    dup2(stdoutFd, 1);
    // As from a terminal: a suite started in the background has Ctrl-C ignored, and so would the program.
    signal(SIGINT, SIG_DFL);
    if (wine) {
        redirectWineStderr();
        setenv("WINEDEBUG", "-all", 0);
    }
    close_range(3, ~0u, 0);   // the simulated switch's pseudo-terminal stays with the test
    setenv("BMFWU_PORT_DIR", portDir.c_str(), 1);
    // What an ordinary user meets, when the suite runs as root.
    if (!environment("BMFWU_E2E_AS_NOBODY").empty() && geteuid() == 0 &&
        (setgroups(0, nullptr) != 0 || setgid(NOBODY) != 0 || setuid(NOBODY) != 0))
        _exit(126);
    execvp(argv[0], argv.data());
    _exit(127);
}

// Appends output read from the program, turning the Windows console's CR LF
// back into LF. A CR at the end of one read waits in `pendingCr` for the next.
void appendOutput(std::string& output, const char* data, std::size_t size, bool& pendingCr, bool crlf) {
    if (!crlf) {
        output.append(data, size);
        return;
    }
    for (std::size_t i = 0; i < size; ++i) {
        if (pendingCr && data[i] != '\n') output.push_back('\r');
        pendingCr = data[i] == '\r';
        if (!pendingCr) output.push_back(data[i]);
    }
}

int waitStatus(pid_t pid) {
    int status = 0;
    if (waitpid(pid, &status, 0) != pid) return -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

}   // namespace

ProgramRun runProgram(const std::vector<std::string>& arguments, const std::string& portDir,
                      const std::vector<KeyAfter>& steps, unsigned timeoutMs) {
    int in[2], out[2];
    if (pipe(in) != 0 || pipe(out) != 0) throw std::runtime_error("pipe failed");
    signal(SIGPIPE, SIG_IGN);
    const pid_t pid = startChild(arguments, portDir, in[0], out[1]);
    close(in[0]);
    close(out[1]);
    int keysFd = in[1];
    const bool wine = underWine();
    if (wine) timeoutMs += WINE_START_ALLOWANCE_MS;
    bool pendingCr = false;

    ProgramRun run;
    std::size_t step = 0, searchFrom = 0;
    const auto start = std::chrono::steady_clock::now();
    auto elapsedMs = [&] {
        return static_cast<unsigned>(
            std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start).count());
    };
    for (;;) {
        while (keysFd >= 0 && step < steps.size()) {
            const std::size_t at = run.output.find(steps[step].text, searchFrom);
            if (at == std::string::npos) break;
            searchFrom = at + steps[step].text.size();
            const std::string& keys = steps[step].keys;
            if (steps[step].first) steps[step].first();
            if (steps[step].kill) kill(pid, SIGKILL);
            if (steps[step].interrupt) kill(pid, SIGINT);
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
        appendOutput(run.output, buffer, static_cast<std::size_t>(got), pendingCr, wine);
        run.arrivals.emplace_back(elapsedMs(), run.output.size());
    }
    if (pendingCr) run.output.push_back('\r');
    if (keysFd >= 0) close(keysFd);
    close(out[0]);
    run.status = waitStatus(pid);
    run.elapsedMs = elapsedMs();
    return run;
}
