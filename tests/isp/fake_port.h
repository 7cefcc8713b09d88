// A scripted stand-in for the serial port, linked in place of the real one.
// What the host writes is recorded and handed to the responder line by line
// (cut at CR, LF dropped); the responder's answer becomes received input.
#pragma once
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
    int failingRead = -1;   // index of the comRead call that delivers nothing
    int readCalls = 0;
    unsigned baud = 19200;
    std::string partial;
};

extern FakePort fakePort;
extern SwitchLink fakeLink;   // the link every test drives over the fake port

// Opens the port (fakeLink's, fresh) at 19200 with nothing waiting and no responder.
void fakeReset();
void fakeFeed(const std::string& bytes);
std::string fakePending();   // input not yet taken by the host
