// A scripted stand-in for the serial port, plugged into a link's port record
// through its operation table. What the host writes is recorded and handed to
// the responder line by line (cut at CR, LF dropped); the responder's answer
// becomes received input. Each test owns its port and link.
#pragma once
#include <gtest/gtest.h>

#include <deque>
#include <functional>
#include <string>
#include <vector>

#include "isp/link.h"

struct SentLine {
    std::string text;
    unsigned baud;   // the rate the port was set to when the line ended
};

struct FakePort {
    std::string sent;              // every byte the host wrote
    std::vector<SentLine> lines;   // the same, cut into lines
    std::deque<char> input;        // bytes waiting for the host
    std::function<std::string(const std::string& line, unsigned baud)> responder;
    int failingRead = -1;   // index of the read that delivers nothing
    int readCalls = 0;
    unsigned baud = 19200;
    std::string partial;
};

// The operations of a FakePort; the record's context points to it.
extern const PortOperations FAKE_PORT_OPERATIONS;

// A test whose link runs over its own scripted port.
class FakePortTest : public ::testing::Test {
  protected:
    void SetUp() override { fakeReset(); }

    // A fresh port and link, the link's port open at 19200 with nothing
    // waiting and no responder.
    void fakeReset();
    void fakeFeed(const std::string& bytes);
    std::string fakePending() const;   // input not yet taken by the host

    FakePort fakePort;
    SwitchLink fakeLink;
};
