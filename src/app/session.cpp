#include "app/session.h"

#include <cstdio>

#include "link/serial.h"

void startSession(Session& session, const PortName& port, bool beside) {
    session.port = port;
    if (port.number != 0)
        std::snprintf(session.label, sizeof session.label, "COM%u", port.number);
    else
        std::snprintf(session.label, sizeof session.label, "%s", port.device);
    textBufferInit(&session.textBuffer, session.text, SESSION_TEXT_CAPACITY);
    session.textSink.buffer = &session.textBuffer;
    session.pass.link = &session.link;
    session.link.stop = &session.stop;
    if (beside) {
        session.link.out = &session.textSink;
        session.link.traceTag = session.label;
    }
    session.scanner.out = session.link.out;
    session.scanner.traceTag = session.link.traceTag;
}

void showSessionOnConsole(Session& session) {
    session.link.stop = nullptr;
    session.link.out = nullptr;
    session.link.traceTag = nullptr;
    session.scanner.out = nullptr;
    session.scanner.traceTag = nullptr;
}

Session::~Session() {
    comClose(&link.port);
}
