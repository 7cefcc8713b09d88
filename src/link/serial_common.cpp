// The part of the serial port that is the same on every platform.
#include "link/serial_common.h"

#include <cstring>

bool serialPortUsable(const SerialPort* port) {
    return port != nullptr && port->isOpen != 0 && port->handle != 0;
}

bool serialTransferValid(const SerialPort* port, const void* bytes, std::int32_t count) {
    return serialPortUsable(port) && bytes != nullptr && count > 0;
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
