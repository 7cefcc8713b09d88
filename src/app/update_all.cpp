#include "app/update_all.h"

#include <thread>
#include <vector>

#include "app/exit.h"
#include "app/flash_identity.h"
#include "app/identify.h"
#include "app/options.h"
#include "app/probe.h"
#include "app/probe_ports.h"
#include "app/scan.h"
#include "app/update_loop.h"
#include "catalog/catalog.h"
#include "catalog/version.h"
#include "firmware/firmware.h"
#include "format/sinks.h"
#include "isp/line.h"
#include "link/clock.h"
#include "link/keyboard.h"
#include "link/serial.h"
#include "link/terminal.h"

namespace {

using Sessions = std::vector<std::unique_ptr<Session>>;

constexpr int PASSES = 3;   // as an unattended run of one switch: a pass and two more
constexpr unsigned LISTEN_WAIT_MS = 100;
constexpr unsigned INTERRUPT_POLL_MS = 20;

// The image for the switch into its cursor; false when none is, or it may not take it.
bool takesAnImage(Session& session) {
    const DeviceIdentity& identity = session.link.identity;
    const int index = imageIndexFor(identity);
    if (index < 0 || lookupModelName(identity.productId, identity.pcbRevision) == nullptr) return false;
    session.image.base = firmwareImages[index];
    if (validateImage(nullptr, &session.image, session.link.out) != IMAGE_INTACT) return false;
    return checkCompatibility(&identity, &session.image) == COMPATIBLE;
}

int planFor(Session& session) {
    if (!takesAnImage(session)) return PLAN_INCOMPATIBLE;
    const std::uint32_t installed = session.link.identity.version, offered = session.image.header->version;
    if (installed == 0 || installed < offered) return PLAN_UPDATE;
    return installed == offered ? PLAN_UP_TO_DATE : PLAN_NEWER;
}

const char* planText(int plan) {
    switch (plan) {
    case PLAN_UPDATE: return "will be updated";
    case PLAN_UP_TO_DATE: return "up to date";
    case PLAN_NEWER: return "newer than its image, left alone";
    default: return "not compatible";
    }
}

void listSwitch(Session& session) {
    const OutputSink* out = session.link.out;
    describeSwitch(out, session.link.identity);
    if (session.image.header != nullptr)
        sinkMessage(out, "; image %.*s %s", static_cast<int>(sizeof session.image.header->modelName),
                    session.image.header->modelName, formatVersion(session.image.header->version).text);
    sinkMessage(out, "; %s", planText(session.plan));
    char stable[PORT_DEVICE_SIZE];
    if (comStableName(session.port, stable, sizeof stable) != 0) sinkMessage(out, "; cable %s", stable);
}

// Runs on the port's thread once a switch answered: wanted when it is to be updated.
bool planSwitch(Session& session) {
    if (session.link.state == LINK_BOOTLOADER_NO_TABLE && !identifyFromFlash(session)) {
        session.plan = PLAN_INCOMPATIBLE;
        sinkMessage(session.link.out, "a switch in its bootloader without firmware information; not compatible");
        return false;
    }
    session.plan = planFor(session);
    listSwitch(session);
    return session.plan == PLAN_UPDATE;
}

// Follows the restarted application's DSP update until it is ready or quiet.
void listen(Session& session) {
    ReplyScanner& scanner = session.scanner;
    scanner.lastDspProgressTime = msNow();
    while (scanner.appReady == 0 && !msElapsed(scanner.lastDspProgressTime, COMPLETION_QUIET_MS) &&
           !linkStopped(session.link)) {
        if (comWaitInput(&session.link.port, LISTEN_WAIT_MS) == 0) continue;
        unsigned char byte = 0;
        while (comBytesWaiting(&session.link.port) > 0 && comRead(&session.link.port, &byte, 1) == 1)
            feedReplyByte(scanner, static_cast<signed char>(byte));
    }
    if (scanner.appReady == 0)
        sinkMessage(session.link.out, "\nFirmware update complete, please power cycle the switch.\n");
}

// One switch's update, as an unattended run of one switch does it.
void updateSwitch(Session& session) {
    session.plan = PLAN_FAILED;
    for (int pass = 0; pass < PASSES && !linkStopped(session.link); ++pass) {
        if (pass > 0 && probeDevice(session.link) != PROBE_IDENTIFIED) break;
        session.scanner.appReady = 0;
        if (updateFirmware(session.pass, &session.image, runOptions.verifyAll) != UPDATE_DONE) continue;
        listen(session);
        session.plan = PLAN_UPDATED;
        break;
    }
    if (session.plan != PLAN_UPDATED && linkStopped(session.link)) session.plan = PLAN_INTERRUPTED;
    sinkFlush(session.link.out);
    session.finished = true;
}

// Waits for every update; the first Ctrl-C asks each to stop.
void awaitUpdates(const std::vector<Session*>& running) {
    bool stopped = false;
    for (Session* session : running) {
        while (!session->finished.load()) {
            msSleep(INTERRUPT_POLL_MS);
            if (stopped || !kbdInterrupted()) continue;
            stopped = true;
            for (Session* each : running) each->stop = true;
        }
    }
}

int countPlans(const Sessions& sessions, int plan) {
    int count = 0;
    for (const auto& session : sessions) count += session->plan == plan ? 1 : 0;
    return count;
}

// On a terminal each switch's progress replaces its own row; elsewhere (a
// pipe, a file) every line goes out whole, named by its port.
void updateAtOnce(const Sessions& sessions) {
    kbdCatchInterrupt();
    const bool board = terminalCanRedraw();
    if (board) consoleStartBoard(countPlans(sessions, PLAN_UPDATE), terminalColumns());
    std::vector<std::thread> updates;
    std::vector<Session*> running;
    for (const auto& session : sessions) {
        if (session->plan != PLAN_UPDATE) continue;
        if (board) session->lineSink.boardRow = static_cast<int>(running.size());
        session->lineSink.linePrefix = session->label;
        session->link.out = &session->lineSink;
        session->scanner.out = &session->lineSink;
        session->link.traceTag = session->label;
        session->scanner.traceTag = session->label;
        session->link.stop = &session->stop;
        holdPortUntilExit(&session->link.port);
        running.push_back(session.get());
        updates.emplace_back(updateSwitch, std::ref(*session));
    }
    awaitUpdates(running);
    for (std::thread& update : updates) update.join();
    consoleEndBoard();
}

void summarise(const Sessions& sessions) {
    consoleMessage("\nSummary:\n");
    for (const auto& session : sessions) {
        const int plan = session->plan;
        if (plan == PLAN_NONE) continue;
        consoleMessage("%s: ", session->label);
        if (plan == PLAN_UPDATED)
            consoleMessage("updated to %s\n", formatVersion(session->image.header->version).text);
        else if (plan == PLAN_FAILED)
            consoleMessage("failed: %s\n", session->lineSink.lastLine);
        else if (plan == PLAN_DECLINED)
            consoleMessage("declined\n");
        else if (plan == PLAN_INTERRUPTED)
            consoleMessage("interrupted\n");
        else
            consoleMessage("%s\n", planText(plan));
    }
}

bool confirmed(const Sessions& sessions) {
    if (runOptions.answerYes) return true;
    consoleMessage("\nUpdate %u switches? (Y,N) ", static_cast<unsigned>(countPlans(sessions, PLAN_UPDATE)));
    const int answer = readYesNo();
    consoleMessage("%c\n", answer);
    return answer == 'Y';
}

int exitStatus(const Sessions& sessions) {
    const int unfinished = countPlans(sessions, PLAN_FAILED) + countPlans(sessions, PLAN_DECLINED) +
                           countPlans(sessions, PLAN_INTERRUPTED);
    if (unfinished > 0) return EXIT_FAILED;
    return EXIT_COMPLETED;
}

}   // namespace

void updateAllSwitches(const PortRange& range) {
    if (range.count == 0) consoleMessage("\nNo serial ports were found on this computer.");
    ProbeOutcome found = probePorts(range, ProbeOptions{planSwitch, false, false});
    const Sessions& sessions = found.sessions;
    if (found.switches == 0) endNoSwitchFound();
    consoleMessage("\n");
    const int compatible = countPlans(sessions, PLAN_UPDATE) + countPlans(sessions, PLAN_UP_TO_DATE) +
                           countPlans(sessions, PLAN_NEWER);
    if (countPlans(sessions, PLAN_UPDATE) > 0) {
        if (confirmed(sessions))
            updateAtOnce(sessions);
        else
            for (const auto& session : sessions)
                if (session->plan == PLAN_UPDATE) session->plan = PLAN_DECLINED;
    }
    summarise(sessions);
    exitProgram(compatible == 0 ? EXIT_NOTHING_TO_UPDATE : exitStatus(sessions));
}
