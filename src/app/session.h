// One port's session: everything the program knows and does about the switch
// on one port. Each record of it is passed to the functions that work on it,
// so that several ports can be probed, and several switches worked on, at once.
#pragma once
#include <atomic>

#include "app/outcome.h"
#include "catalog/verdict.h"
#include "console/reply_scanner.h"
#include "flash/programming.h"
#include "image/image.h"
#include "isp/link.h"
#include "link/port_list.h"

constexpr std::uint16_t SESSION_TEXT_CAPACITY = 4096;   // what a probe beside others prints

struct Session {
    PortName port{};
    char label[PORT_DEVICE_SIZE]{};   // "COM5", or the device path: how messages name the port
    SwitchLink link;
    FlashPass pass;
    ReplyScanner scanner;
    ImageCursor image{};   // the image matched to this switch; base null when none
    // While the session runs beside others its console text is kept here and
    // shown as one block once the ports before it have shown theirs.
    char text[SESSION_TEXT_CAPACITY]{};
    TextBuffer textBuffer{};
    OutputSink textSink{};
    std::atomic<bool> stop{false};   // asked to end its probe (another port was chosen) or its update (Ctrl-C)
    bool identifiedFromFlash = false;
    bool imageCorrupt = false;        // a compiled-in image failed its check while being matched
    bool programmingFailed = false;   // a pass of this run failed after the switch was identified
    UpdateVerdict verdict{VERDICT_NO_IMAGE, 0};   // with --all: what an update would do, when listed
    SwitchOutcome outcome{SWITCH_NOT_FOUND};      // what happened to the switch on this port
    std::atomic<bool> finished{false};            // with --all: its update's thread is done
    int reportIndex = -1;                         // its entry in the run's report (--json)
    OutputSink lineSink{};                        // with --all: the session's text as whole lines named by its port

    Session() = default;
    Session(const Session&) = delete;
    Session& operator=(const Session&) = delete;
    ~Session();   // closes the port: a session that ends leaves nothing open
};

// Wires the records of a fresh session to one another for `port`. With
// `beside` the session's console text and trace records are kept apart
// (text buffered, trace records named by the port); otherwise they go to the
// console and the support log as a run of one port has them.
void startSession(Session& session, const PortName& port, bool beside);

// Sends the session's text to the console from now on (the buffered text must
// have been shown), and its trace records without the port's name.
void showSessionOnConsole(Session& session);
