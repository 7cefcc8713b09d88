#include "fake_port.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <thread>

#include "link/serial.h"

namespace {

FakePort& fakeOf(SerialPort* port) {
    return *static_cast<FakePort*>(port->context);
}

void takeSentByte(FakePort& fake, char byte) {
    fake.sent.push_back(byte);
    if (byte == '\n') return;
    if (byte != '\r') {
        fake.partial.push_back(byte);
        return;
    }
    fake.lines.push_back({fake.partial, fake.baud});
    if (fake.responder) {
        const std::string answer = fake.responder(fake.partial, fake.baud);
        fake.input.insert(fake.input.end(), answer.begin(), answer.end());
    }
    fake.partial.clear();
}

int numberedPath(unsigned number, char* path, std::size_t size) {
    return std::snprintf(path, size, "COM%u", number) > 0 ? 1 : 0;
}

int open(SerialPort* port, const char*, unsigned baud) {
    fakeOf(port).baud = baud;
    return PORT_OPEN_OK;
}

void close(SerialPort*) {}

int read(SerialPort* port, void* buffer, std::int32_t count, unsigned) {
    FakePort& fake = fakeOf(port);
    if (fake.readCalls++ == fake.failingRead) return 0;
    auto n = std::min<std::size_t>(static_cast<std::size_t>(count), fake.input.size());
    std::copy_n(fake.input.begin(), n, static_cast<char*>(buffer));
    fake.input.erase(fake.input.begin(), fake.input.begin() + static_cast<std::ptrdiff_t>(n));
    return static_cast<int>(n);
}

int write(SerialPort* port, const void* bytes, std::int32_t count, unsigned) {
    const char* text = static_cast<const char*>(bytes);
    for (std::int32_t i = 0; i < count; ++i) takeSentByte(fakeOf(port), text[i]);
    return count;
}

int drain(SerialPort*) {
    return 1;
}

int purge(SerialPort* port) {
    fakeOf(port).input.clear();
    return 1;
}

int setBaud(SerialPort* port, unsigned baud) {
    fakeOf(port).baud = baud;
    return 1;
}

int setDtr(SerialPort*, int) {
    return 1;
}

int bytesWaiting(SerialPort* port) {
    return static_cast<int>(fakeOf(port).input.size());
}

int waitInput(SerialPort* port, unsigned timeoutMs) {
    if (!fakeOf(port).input.empty()) return 1;
    std::this_thread::sleep_for(std::chrono::milliseconds(timeoutMs));
    return 0;
}

}   // namespace

const PortOperations FAKE_PORT_OPERATIONS = {
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

void FakePortTest::fakeReset() {
    fakePort = FakePort{};
    fakeLink = SwitchLink{};
    fakeLink.port.operations = &FAKE_PORT_OPERATIONS;
    fakeLink.port.context = &fakePort;
    ASSERT_EQ(comOpen(&fakeLink.port, 1, 19200), 1);
}

void FakePortTest::fakeFeed(const std::string& bytes) {
    fakePort.input.insert(fakePort.input.end(), bytes.begin(), bytes.end());
}

std::string FakePortTest::fakePending() const {
    return std::string(fakePort.input.begin(), fakePort.input.end());
}
