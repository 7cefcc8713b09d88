// A minimal serial host for the simulator's tests: opens the slave like a
// port (raw, 8N1) and moves text with time-outs.
#pragma once
#include <string>
#include <string_view>

class TestHost {
  public:
    explicit TestHost(const std::string& path, unsigned baud = 115200);
    ~TestHost();
    TestHost(const TestHost&) = delete;
    TestHost& operator=(const TestHost&) = delete;

    bool isOpen() const { return fd_ >= 0; }
    void setBaud(unsigned baud);
    void send(std::string_view text);
    // Reads until `count` line feeds have arrived or timeoutMs pass; returns what came.
    std::string readLines(int count, unsigned timeoutMs = 1000);
    // Reads everything that arrives within ms.
    std::string readFor(unsigned ms);
    // send, then everything that arrives within ms.
    std::string request(std::string_view text, unsigned ms);
    // send + readLines.
    std::string ask(std::string_view text, int lines, unsigned timeoutMs = 1000);

  private:
    int fd_ = -1;
};

// The sync handshake of the ROM at the host's current rate, then "A 0".
// Returns true when every answer was as expected.
bool syncAndEchoOff(TestHost& host);
