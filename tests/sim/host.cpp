#include "host.h"

#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>
#include <chrono>

namespace {

speed_t speedOf(unsigned baud) {
    switch (baud) {
    case 9600: return B9600;
    case 19200: return B19200;
    case 38400: return B38400;
    case 57600: return B57600;
    default: return B115200;
    }
}

}   // namespace

TestHost::TestHost(const std::string& path, unsigned baud) {
    fd_ = open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd_ >= 0) setBaud(baud);
}

TestHost::~TestHost() {
    if (fd_ >= 0) close(fd_);
}

void TestHost::setBaud(unsigned baud) {
    termios settings{};
    tcgetattr(fd_, &settings);
    cfmakeraw(&settings);
    cfsetspeed(&settings, speedOf(baud));
    tcsetattr(fd_, TCSANOW, &settings);
}

void TestHost::send(std::string_view text) {
    std::size_t done = 0;
    while (done < text.size()) {
        const ssize_t n = write(fd_, text.data() + done, text.size() - done);
        if (n > 0)
            done += static_cast<std::size_t>(n);
        else
            usleep(1000);
    }
}

static std::string readWhile(int fd, unsigned timeoutMs, int lines) {
    std::string text;
    const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    int seen = 0;
    while (lines < 0 || seen < lines) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(until -
                                                                                std::chrono::steady_clock::now());
        if (left.count() <= 0) break;
        pollfd p{fd, POLLIN, 0};
        if (poll(&p, 1, static_cast<int>(left.count())) <= 0) continue;
        char c;
        while ((lines < 0 || seen < lines) && read(fd, &c, 1) == 1) {
            text.push_back(c);
            seen += c == '\n';
        }
    }
    return text;
}

std::string TestHost::readLines(int count, unsigned timeoutMs) {
    return readWhile(fd_, timeoutMs, count);
}

std::string TestHost::readFor(unsigned ms) {
    return readWhile(fd_, ms, -1);
}

std::string TestHost::request(std::string_view text, unsigned ms) {
    send(text);
    return readFor(ms);
}

std::string TestHost::ask(std::string_view text, int lines, unsigned timeoutMs) {
    send(text);
    return readLines(lines, timeoutMs);
}

bool syncAndEchoOff(TestHost& host) {
    // The ROM answers on the CR, so the echo of the LF follows its reply.
    return host.ask("?", 1) == "Synchronized\r\n" && host.ask("Synchronized\r\n", 2) == "Synchronized\rOK\r\n\n" &&
           host.ask("12000\r\n", 2) == "12000\rOK\r\n\n" && host.ask("A 0\r\n", 1) == "A 0\r0\r\n";
}
