// The serial functions every kind of port shares: the checks made before any
// operation, the record's bookkeeping, and the call to the kind's operation.
#include <cstring>

#include "link/port_list.h"
#include "link/rfc2217.h"
#include "link/serial.h"

namespace {

const PortOperations* operationsOf(const SerialPort* port) {
    return port->operations != nullptr ? port->operations : platformSerialPort();
}

// A record that a caller gave a kind of its own keeps it; otherwise the name
// tells a network port from the platform's serial device.
const PortOperations* operationsFor(SerialPort* port, const char* path) {
    const PortOperations* network = networkSerialPort();
    if (port->operations != nullptr && port->operations != network) return port->operations;
    port->operations = comPortUrlKind(path) == PORT_URL_RFC2217 ? network : nullptr;
    return operationsOf(port);
}

bool usable(const SerialPort* port) {
    return port != nullptr && port->isOpen != 0;
}

bool transferValid(const SerialPort* port, const void* bytes, std::int32_t count) {
    return usable(port) && bytes != nullptr && count > 0;
}

void markClosed(SerialPort* port) {
    port->isOpen = 0;
    port->baud = 0;
}

// What every port does after its device opened: DTR down, so the switch is
// not reset, and nothing left over from before that could pass for an answer.
int settle(SerialPort* port, const PortOperations* operations) {
    if (operations->setDtr(port, 0) != 0 && operations->purge(port) != 0) return 1;
    operations->close(port);
    markClosed(port);
    port->openFailure = PORT_OPEN_FAILED;
    return 0;
}

// An open record is left as it is: the port it holds stays usable.
int refuseOpenPort(SerialPort* port) {
    port->openFailure = PORT_OPEN_ALREADY;
    return 0;
}

}   // namespace

int comOpen(SerialPort* port, unsigned portNumber, unsigned baud) {
    if (port == nullptr) return 0;
    if (port->isOpen != 0) return refuseOpenPort(port);
    if (port->operations == networkSerialPort()) port->operations = nullptr;
    char path[PORT_PATH_CAPACITY];
    if (operationsOf(port)->numberedPath(portNumber, path, sizeof path) == 0) {
        port->openFailure = PORT_OPEN_MISSING;
        return 0;
    }
    return comOpenDevice(port, path, baud);
}

int comOpenDevice(SerialPort* port, const char* path, unsigned baud) {
    if (port == nullptr || path == nullptr) return 0;
    if (port->isOpen != 0) return refuseOpenPort(port);
    const PortOperations* operations = operationsFor(port, path);
    port->dtrUnanswered = 0;
    port->openFailure = operations->open(port, path, baud);
    if (port->openFailure != PORT_OPEN_OK) return 0;
    port->isOpen = 1;
    port->baud = baud;
    return settle(port, operations);
}

int comSetBaud(SerialPort* port, unsigned baud) {
    if (!usable(port)) return 0;
    if (operationsOf(port)->setBaud(port, baud) != 0) {
        port->baud = baud;
        return 1;
    }
    comClose(port);
    return 0;
}

int comClose(SerialPort* port) {
    if (port == nullptr) return 1;
    if (port->isOpen != 0) operationsOf(port)->close(port);
    markClosed(port);
    return 1;
}

int comWrite(SerialPort* port, const void* bytes, std::int32_t count) {
    if (!transferValid(port, bytes, count)) return 0;
    const PortOperations* operations = operationsOf(port);
    if (operations->write(port, bytes, count, PORT_IO_WAIT_MS) != count) return 0;
    return operations->drain(port) != 0 ? count : 0;
}

int comBytesWaiting(SerialPort* port) {
    return usable(port) ? operationsOf(port)->bytesWaiting(port) : 0;
}

int comRead(SerialPort* port, void* buffer, std::int32_t count) {
    if (!transferValid(port, buffer, count)) return 0;
    return operationsOf(port)->read(port, buffer, count, PORT_IO_WAIT_MS);
}

int comWaitInput(SerialPort* port, unsigned timeoutMs) {
    return usable(port) ? operationsOf(port)->waitInput(port, timeoutMs) : 0;
}

int comSendString(SerialPort* port, const char* text) {
    if (text == nullptr) return 0;
    const std::size_t length = std::strlen(text);
    if (length > INT32_MAX) return 0;
    return comWrite(port, text, static_cast<std::int32_t>(length));
}

int comSendByte(SerialPort* port, int value) {
    const auto byte = static_cast<unsigned char>(value & 0xFF);
    return comWrite(port, &byte, 1);
}
