// Test doubles for the serial layer: a pseudo-terminal whose master side
// plays the switch, and a port folder that maps COM numbers to devices.
#pragma once
#include <cstddef>
#include <string>

// The master side of a pseudo-terminal. The slave is what the port opens.
class PtyPeer {
  public:
    PtyPeer();
    ~PtyPeer();
    PtyPeer(const PtyPeer&) = delete;
    PtyPeer& operator=(const PtyPeer&) = delete;

    int master() const { return master_; }
    const std::string& slavePath() const { return slavePath_; }
    bool send(const std::string& bytes);
    // Collects bytes until `count` arrived or `timeoutMs` passed.
    std::string receive(std::size_t count, int timeoutMs);
    // Takes everything that is waiting now.
    std::string drain();
    void hangUp();

  private:
    int master_ = -1;
    std::string slavePath_;
};

// A temporary folder named by BMFWU_PORT_DIR while the object lives.
class PortDir {
  public:
    PortDir();
    ~PortDir();
    PortDir(const PortDir&) = delete;
    PortDir& operator=(const PortDir&) = delete;

    // Makes COMn a symbolic link to `target` (which need not exist).
    void link(unsigned portNumber, const std::string& target);
    std::string path(const std::string& name) const { return dir_ + "/" + name; }

  private:
    std::string dir_;
};

// Collects what the process writes to standard output while it lives.
class StdoutCapture {
  public:
    StdoutCapture();
    ~StdoutCapture();
    std::string finish();

  private:
    int saved_ = -1;
    int file_ = -1;
};
