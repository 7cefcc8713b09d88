// A real ISP client that nobody here wrote programs the simulated switch
// through the bmfwu-sim command; the flash it leaves must hold the binary.
#include "sim_internal.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

extern char** environ;

namespace {

std::string findProgram(const std::string& name) {
    const char* path = std::getenv("PATH");
    std::stringstream folders(path ? path : "/usr/bin:/bin");
    std::string folder;
    while (std::getline(folders, folder, ':'))
        if (access((folder + "/" + name).c_str(), X_OK) == 0) return folder + "/" + name;
    return {};
}

std::string simProgram() {
    if (const char* build = std::getenv("BMFWU_BUILD_DIR")) return std::string(build) + "/tools/sim/bmfwu-sim";
    char self[4096];
    const ssize_t n = readlink("/proc/self/exe", self, sizeof self - 1);
    std::string exe(self, n > 0 ? static_cast<std::size_t>(n) : 0);
    return exe.substr(0, exe.rfind('/')) + "/../../tools/sim/bmfwu-sim";
}

// Starts `argv` with its standard output (and error) going to `outputFd`.
pid_t spawn(const std::vector<std::string>& argv, int outputFd) {
    std::vector<char*> args;
    for (const std::string& arg : argv) args.push_back(const_cast<char*>(arg.c_str()));
    args.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, outputFd, 1);
    posix_spawn_file_actions_adddup2(&actions, outputFd, 2);
    pid_t pid = -1;
    if (posix_spawn(&pid, args[0], &actions, nullptr, args.data(), environ) != 0) pid = -1;
    posix_spawn_file_actions_destroy(&actions);
    return pid;
}

// Waits for `pid` at most timeoutMs; on time-out ends it. Returns its exit
// status, or -1 when it had to be ended.
int waitFor(pid_t pid, unsigned timeoutMs) {
    const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    int status = 0;
    while (waitpid(pid, &status, WNOHANG) == 0) {
        if (std::chrono::steady_clock::now() > until) {
            kill(pid, SIGKILL);
            waitpid(pid, &status, 0);
            return -1;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

std::string readLineFrom(int fd, unsigned timeoutMs) {
    std::string line;
    char c = 0;
    while (c != '\n') {
        pollfd p{fd, POLLIN, 0};
        if (poll(&p, 1, static_cast<int>(timeoutMs)) <= 0 || read(fd, &c, 1) != 1) break;
        line.push_back(c);
    }
    return line;
}

std::string fileText(const std::string& path) {
    std::stringstream text;
    text << std::ifstream(path, std::ios::binary).rdbuf();
    return text.str();
}

TEST(Lpc21isp, ProgramsBankAFromAnIntelHexFile) {
    const std::string lpc21isp = findProgram("lpc21isp"), objcopy = findProgram("objcopy");
    if (lpc21isp.empty() || objcopy.empty())
        GTEST_SKIP() << "lpc21isp or objcopy is not installed (apt-get install lpc21isp binutils)";
    const std::string dir = testing::TempDir() + "lpc21isp_" + std::to_string(getpid());
    ASSERT_EQ(system(("rm -rf " + dir + " && mkdir -p " + dir).c_str()), 0);

    // 20000 bytes reach into sector 2, so several erase and copy rounds run.
    std::vector<std::uint8_t> binary(20000);
    for (std::size_t i = 0; i < binary.size(); ++i) binary[i] = static_cast<std::uint8_t>((i * 2654435761u) >> 13);
    std::ofstream(dir + "/app.bin", std::ios::binary)
        .write(reinterpret_cast<const char*>(binary.data()), static_cast<std::streamsize>(binary.size()));
    const int devNull = open("/dev/null", O_WRONLY);
    const pid_t convert = spawn(
        {objcopy, "-I", "binary", "-O", "ihex", "--change-addresses", "0x1A000000", dir + "/app.bin", dir + "/app.hex"},
        devNull);
    close(devNull);
    ASSERT_EQ(waitFor(convert, 10000), 0);

    int pipeFds[2];
    ASSERT_EQ(pipe(pipeFds), 0);
    const std::string link = dir + "/COM5", state = dir + "/state.bin";
    const pid_t sim = spawn({simProgram(), "--link", link, "--state", state, "--log", dir + "/traffic.log"},
                            pipeFds[1]);
    close(pipeFds[1]);
    ASSERT_GT(sim, 0);
    EXPECT_EQ(readLineFrom(pipeFds[0], 5000).rfind("/dev/pts/", 0), 0u);

    const int output = open((dir + "/lpc21isp.out").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    const pid_t client = spawn({lpc21isp, "-donotstart", dir + "/app.hex", link, "115200", "12000"}, output);
    close(output);
    const int clientStatus = waitFor(client, 120000);
    kill(sim, SIGTERM);
    const std::string stats = readLineFrom(pipeFds[0], 5000);
    EXPECT_EQ(waitFor(sim, 10000), 0);
    close(pipeFds[0]);
    ASSERT_EQ(clientStatus, 0) << fileText(dir + "/lpc21isp.out");
    EXPECT_NE(stats.find("bytes from the host"), std::string::npos) << stats;
    EXPECT_NE(access(link.c_str(), F_OK), 0) << "the link outlived the simulator";

    // The state file holds bank A after a 16-byte header. lpc21isp patches the
    // vector checksum (word 7), as every ISP tool does; the rest is the binary.
    const std::string saved = fileText(state);
    ASSERT_GE(saved.size(), 16 + binary.size());
    std::uint32_t vectorSum = 0;
    for (int word = 0; word < 8; ++word)
        vectorSum += simLoad32(reinterpret_cast<const std::uint8_t*>(saved.data()) + 16 + 4 * word);
    EXPECT_EQ(vectorSum, 0u);
    for (std::size_t i = 0; i < binary.size(); ++i) {
        if (i >= 28 && i < 32) continue;
        ASSERT_EQ(static_cast<std::uint8_t>(saved[16 + i]), binary[i]) << "flash offset " << i;
    }
    ASSERT_EQ(system(("rm -rf " + dir).c_str()), 0);
}

}   // namespace
