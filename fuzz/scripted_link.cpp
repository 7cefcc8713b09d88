#include "scripted_link.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <deque>

#include "link/serial.h"

// libFuzzer's entry point takes only the input, so each target has one link
// and one peer behind its port.
SwitchLink scriptedLink;

namespace {

struct Peer {
    const std::uint8_t* script = nullptr;
    std::size_t left = 0;
    std::deque<std::uint8_t> input;
    std::string hostLine;
    std::function<std::string(const std::string&)> responder;
};

Peer targetPeer;

Peer& peerOf(SerialPort* port) {
    return *static_cast<Peer*>(port->context);
}

// The next answer of the script, up to its separator.
void deliverScripted(Peer& peer) {
    const auto* end = static_cast<const std::uint8_t*>(std::memchr(peer.script, SCRIPT_SEPARATOR, peer.left));
    std::size_t length = end != nullptr ? static_cast<std::size_t>(end - peer.script) : peer.left;
    peer.input.insert(peer.input.end(), peer.script, peer.script + length);
    std::size_t taken = std::min(peer.left, length + 1);
    peer.script += taken;
    peer.left -= taken;
}

void hostByte(Peer& peer, char byte) {
    if (byte == '\n') return;
    if (byte != '\r') {
        if (peer.hostLine.size() < 256) peer.hostLine.push_back(byte);
        return;
    }
    if (peer.responder) {
        std::string answer = peer.responder(peer.hostLine);
        peer.input.insert(peer.input.end(), answer.begin(), answer.end());
    } else if (peer.left != 0) {
        deliverScripted(peer);
    }
    peer.hostLine.clear();
}

int numberedPath(unsigned number, char* path, std::size_t size) {
    return std::snprintf(path, size, "COM%u", number) > 0 ? 1 : 0;
}

int open(SerialPort*, const char*, unsigned) {
    return PORT_OPEN_OK;
}

void close(SerialPort*) {}

int read(SerialPort* port, void* buffer, std::int32_t count, unsigned) {
    std::deque<std::uint8_t>& input = peerOf(port).input;
    auto n = std::min<std::size_t>(static_cast<std::size_t>(count), input.size());
    std::copy_n(input.begin(), n, static_cast<std::uint8_t*>(buffer));
    input.erase(input.begin(), input.begin() + static_cast<std::ptrdiff_t>(n));
    return static_cast<int>(n);
}

int write(SerialPort* port, const void* bytes, std::int32_t count, unsigned) {
    const char* text = static_cast<const char*>(bytes);
    for (std::int32_t i = 0; i < count; ++i) hostByte(peerOf(port), text[i]);
    return count;
}

int drain(SerialPort*) {
    return 1;
}

// The script is the peer's whole say: nothing is dropped on open.
int purge(SerialPort*) {
    return 1;
}

int setBaud(SerialPort*, unsigned) {
    return 1;
}

int setDtr(SerialPort*, int) {
    return 1;
}

int bytesWaiting(SerialPort* port) {
    return static_cast<int>(peerOf(port).input.size());
}

// Silence costs the whole wait on the fake clock and no real time.
int waitInput(SerialPort* port, unsigned timeoutMs) {
    if (!peerOf(port).input.empty()) return 1;
    fakeClockAdvance(timeoutMs);
    return 0;
}

constexpr PortOperations SCRIPTED_PORT = {
    .numberedPath = numberedPath,
    .open = open,
    .close = close,
    .read = read,
    .write = write,
    .drain = drain,
    .purge = purge,
    .setBaud = setBaud,
    .setDtr = setDtr,
    .bytesWaiting = bytesWaiting,
    .waitInput = waitInput,
};

}   // namespace

void linkReset(const std::uint8_t* script, std::size_t size) {
    targetPeer = Peer{};
    targetPeer.script = script;
    targetPeer.left = size;
    scriptedLink = SwitchLink{};
    scriptedLink.port.operations = &SCRIPTED_PORT;
    scriptedLink.port.context = &targetPeer;
    (void)comOpen(&scriptedLink.port, 1, APPLICATION_BAUD);
}

void linkRespondWith(std::function<std::string(const std::string& line)> responder) {
    targetPeer.responder = std::move(responder);
}

void linkFeed(const std::uint8_t* bytes, std::size_t size) {
    targetPeer.input.insert(targetPeer.input.end(), bytes, bytes + size);
}

std::size_t linkPending() {
    return targetPeer.input.size();
}
