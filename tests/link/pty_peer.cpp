#include "link/pty_peer.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <stdexcept>

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

PtyPeer::PtyPeer() {
    master_ = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (master_ < 0 || grantpt(master_) != 0 || unlockpt(master_) != 0) {
        throw std::runtime_error("cannot create a pseudo-terminal");
    }
    char name[256];
    if (ptsname_r(master_, name, sizeof name) != 0) throw std::runtime_error("ptsname_r failed");
    slavePath_ = name;
}

PtyPeer::~PtyPeer() {
    hangUp();
}

void PtyPeer::hangUp() {
    if (master_ >= 0) close(master_);
    master_ = -1;
}

bool PtyPeer::send(const std::string& bytes) {
    std::size_t done = 0;
    while (done < bytes.size()) {
        ssize_t put = write(master_, bytes.data() + done, bytes.size() - done);
        if (put < 0 && errno == EINTR) continue;
        if (put <= 0) return false;
        done += static_cast<std::size_t>(put);
    }
    return true;
}

std::string PtyPeer::receive(std::size_t count, int timeoutMs) {
    std::string got;
    while (got.size() < count) {
        pollfd entry = {master_, POLLIN, 0};
        if (poll(&entry, 1, timeoutMs) <= 0) break;
        char buffer[4096];
        ssize_t taken = read(master_, buffer, std::min(sizeof buffer, count - got.size()));
        if (taken <= 0) break;
        got.append(buffer, static_cast<std::size_t>(taken));
    }
    return got;
}

std::string PtyPeer::drain() {
    std::string got;
    for (;;) {
        std::string more = receive(1 << 16, 50);
        if (more.empty()) return got;
        got += more;
    }
}

PortDir::PortDir() {
    char pattern[] = "/tmp/bmfwu-link-XXXXXX";
    if (mkdtemp(pattern) == nullptr) throw std::runtime_error("mkdtemp failed");
    dir_ = pattern;
    setenv("BMFWU_PORT_DIR", dir_.c_str(), 1);
}

PortDir::~PortDir() {
    unsetenv("BMFWU_PORT_DIR");
    for (unsigned number = 0; number < 100; ++number) {
        (void)unlink(path("COM" + std::to_string(number)).c_str());
    }
    (void)unlink(path("plain-file").c_str());
    (void)rmdir(dir_.c_str());
}

void PortDir::link(unsigned portNumber, const std::string& target) {
    std::string name = path("COM" + std::to_string(portNumber));
    (void)unlink(name.c_str());
    if (symlink(target.c_str(), name.c_str()) != 0) throw std::runtime_error("symlink failed");
}

StdoutCapture::StdoutCapture() {
    std::fflush(stdout);
    char pattern[] = "/tmp/bmfwu-stdout-XXXXXX";
    file_ = mkstemp(pattern);
    if (file_ < 0) throw std::runtime_error("mkstemp failed");
    (void)unlink(pattern);
    saved_ = dup(STDOUT_FILENO);
    dup2(file_, STDOUT_FILENO);
}

StdoutCapture::~StdoutCapture() {
    (void)finish();
}

std::string StdoutCapture::finish() {
    if (saved_ < 0) return {};
    std::fflush(stdout);
    dup2(saved_, STDOUT_FILENO);
    close(saved_);
    saved_ = -1;
    std::string text;
    char buffer[512];
    ssize_t got;
    off_t offset = 0;
    while ((got = pread(file_, buffer, sizeof buffer, offset)) > 0) {
        text.append(buffer, static_cast<std::size_t>(got));
        offset += got;
    }
    close(file_);
    return text;
}
