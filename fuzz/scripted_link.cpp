#include "scripted_link.h"

#include <algorithm>
#include <cstring>
#include <deque>

#include "link/serial.h"

SwitchLink scriptedLink;

namespace {

struct Peer {
    const std::uint8_t* script = nullptr;
    std::size_t left = 0;
    std::deque<std::uint8_t> input;
    std::string hostLine;
    std::function<std::string(const std::string&)> responder;
};

Peer peer;

// The next answer of the script, up to its separator.
void deliverScripted() {
    const auto* end = static_cast<const std::uint8_t*>(std::memchr(peer.script, SCRIPT_SEPARATOR, peer.left));
    std::size_t length = end != nullptr ? static_cast<std::size_t>(end - peer.script) : peer.left;
    peer.input.insert(peer.input.end(), peer.script, peer.script + length);
    std::size_t taken = std::min(peer.left, length + 1);
    peer.script += taken;
    peer.left -= taken;
}

void hostByte(char byte) {
    if (byte == '\n') return;
    if (byte != '\r') {
        if (peer.hostLine.size() < 256) peer.hostLine.push_back(byte);
        return;
    }
    if (peer.responder) {
        std::string answer = peer.responder(peer.hostLine);
        peer.input.insert(peer.input.end(), answer.begin(), answer.end());
    } else if (peer.left != 0) {
        deliverScripted();
    }
    peer.hostLine.clear();
}

}   // namespace

void linkReset(const std::uint8_t* script, std::size_t size) {
    peer = Peer{};
    peer.script = script;
    peer.left = size;
    scriptedLink = SwitchLink{};
    scriptedLink.port.isOpen = 1;
    scriptedLink.port.handle = 1;
    scriptedLink.port.baud = APPLICATION_BAUD;
}

void linkRespondWith(std::function<std::string(const std::string& line)> responder) {
    peer.responder = std::move(responder);
}

void linkFeed(const std::uint8_t* bytes, std::size_t size) {
    peer.input.insert(peer.input.end(), bytes, bytes + size);
}

std::size_t linkPending() {
    return peer.input.size();
}

int comOpen(SerialPort* port, unsigned, unsigned baud) {
    port->isOpen = 1;
    port->baud = baud;
    return 1;
}

int comSetBaud(SerialPort* port, unsigned baud) {
    if (port->isOpen) port->baud = baud;
    return port->isOpen;
}

int comClose(SerialPort* port) {
    port->isOpen = 0;
    port->baud = 0;
    return 1;
}

int comWrite(SerialPort* port, const void* bytes, std::int32_t count) {
    if (!port->isOpen || count <= 0) return 0;
    const char* text = static_cast<const char*>(bytes);
    for (std::int32_t i = 0; i < count; ++i) hostByte(text[i]);
    return count;
}

int comBytesWaiting(SerialPort* port) {
    return port->isOpen ? static_cast<int>(peer.input.size()) : 0;
}

int comRead(SerialPort* port, void* buffer, std::int32_t count) {
    if (!port->isOpen || count <= 0) return 0;
    auto n = std::min<std::size_t>(static_cast<std::size_t>(count), peer.input.size());
    std::copy_n(peer.input.begin(), n, static_cast<std::uint8_t*>(buffer));
    peer.input.erase(peer.input.begin(), peer.input.begin() + static_cast<std::ptrdiff_t>(n));
    return static_cast<int>(n);
}

// Silence costs the whole wait on the fake clock and no real time.
int comWaitInput(SerialPort* port, unsigned timeoutMs) {
    if (port->isOpen && !peer.input.empty()) return 1;
    fakeClockAdvance(timeoutMs);
    return 0;
}

int comSendString(SerialPort* port, const char* text) {
    return comWrite(port, text, static_cast<std::int32_t>(std::strlen(text)));
}

int comSendByte(SerialPort* port, int value) {
    char byte = static_cast<char>(value & 0xFF);
    return comWrite(port, &byte, 1);
}
