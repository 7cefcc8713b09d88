#include "fake_port.h"

#include <algorithm>
#include <chrono>
#include <thread>

#include "link/serial.h"

FakePort fakePort;
SwitchLink fakeLink;

void fakeReset() {
    fakePort = FakePort{};
    fakeLink = SwitchLink{};
    fakeLink.port.isOpen = 1;
    fakeLink.port.handle = 1;
    fakeLink.port.baud = 19200;
}

void fakeFeed(const std::string& bytes) {
    fakePort.input.insert(fakePort.input.end(), bytes.begin(), bytes.end());
}

std::string fakePending() {
    return std::string(fakePort.input.begin(), fakePort.input.end());
}

namespace {

void takeSentByte(char byte) {
    fakePort.sent.push_back(byte);
    if (byte == '\n') return;
    if (byte != '\r') {
        fakePort.partial.push_back(byte);
        return;
    }
    fakePort.lines.push_back({fakePort.partial, fakePort.baud});
    if (fakePort.responder) fakeFeed(fakePort.responder(fakePort.partial, fakePort.baud));
    fakePort.partial.clear();
}

}   // namespace

int comOpen(SerialPort* port, unsigned, unsigned baud) {
    port->isOpen = 1;
    port->baud = baud;
    fakePort.baud = baud;
    return 1;
}

int comSetBaud(SerialPort* port, unsigned baud) {
    if (!port->isOpen) return 0;
    port->baud = baud;
    fakePort.baud = baud;
    return 1;
}

int comClose(SerialPort* port) {
    port->isOpen = 0;
    port->baud = 0;
    return 1;
}

int comWrite(SerialPort* port, const void* bytes, std::int32_t count) {
    if (!port->isOpen || count <= 0) return 0;
    const char* text = static_cast<const char*>(bytes);
    for (std::int32_t i = 0; i < count; ++i) takeSentByte(text[i]);
    return count;
}

int comBytesWaiting(SerialPort* port) {
    return port->isOpen ? static_cast<int>(fakePort.input.size()) : 0;
}

int comRead(SerialPort* port, void* buffer, std::int32_t count) {
    if (!port->isOpen || count <= 0) return 0;
    if (fakePort.readCalls++ == fakePort.failingRead) return 0;
    auto n = std::min<std::size_t>(static_cast<std::size_t>(count), fakePort.input.size());
    std::copy_n(fakePort.input.begin(), n, static_cast<char*>(buffer));
    fakePort.input.erase(fakePort.input.begin(), fakePort.input.begin() + static_cast<std::ptrdiff_t>(n));
    return static_cast<int>(n);
}

int comWaitInput(SerialPort* port, unsigned timeoutMs) {
    if (port->isOpen && !fakePort.input.empty()) return 1;
    std::this_thread::sleep_for(std::chrono::milliseconds(timeoutMs));
    return 0;
}

int comSendString(SerialPort* port, const char* text) {
    return comWrite(port, text, static_cast<std::int32_t>(std::char_traits<char>::length(text)));
}

int comSendByte(SerialPort* port, int value) {
    char byte = static_cast<char>(value & 0xFF);
    return comWrite(port, &byte, 1);
}
