#include "app/update_all.h"

#include <thread>
#include <vector>

#include "app/exit.h"
#include "app/flash_identity.h"
#include "app/identify.h"
#include "app/options.h"
#include "app/probe_ports.h"
#include "app/report.h"
#include "app/scan.h"
#include "app/update_switch.h"
#include "catalog/verdict.h"
#include "catalog/version.h"
#include "firmware/firmware.h"
#include "format/sinks.h"
#include "isp/line.h"
#include "link/clock.h"
#include "link/keyboard.h"
#include "link/port_list.h"
#include "link/terminal.h"

namespace {

using Sessions = std::vector<std::unique_ptr<Session>>;

constexpr unsigned INTERRUPT_POLL_MS = 20;

// The image made for the switch into its cursor, and what it would do there.
UpdateVerdict verdictFor(Session& session) {
    const int index = imageIndexFor(session.link.identity);
    if (index >= 0) {
        session.image.base = firmwareImages[index];
        if (validateImage(nullptr, &session.image, session.link.out) != IMAGE_INTACT) return {VERDICT_NO_IMAGE, 0};
    }
    return judgeUpdate(session.link.identity, session.image);
}

SwitchResult listedResult(const UpdateVerdict& verdict) {
    switch (verdict.kind) {
    case VERDICT_UPDATE: return SWITCH_IDENTIFIED;
    case VERDICT_SAME: return SWITCH_UP_TO_DATE;
    case VERDICT_OLDER: return SWITCH_LEFT_ALONE;
    default: return SWITCH_NOT_COMPATIBLE;
    }
}

bool wantsUpdate(const Session& session) {
    return session.outcome.result == SWITCH_IDENTIFIED && session.verdict.kind == VERDICT_UPDATE;
}

const char* resultText(SwitchResult result) {
    switch (result) {
    case SWITCH_IDENTIFIED: return "will be updated";
    case SWITCH_UP_TO_DATE: return "up to date";
    case SWITCH_LEFT_ALONE: return "newer than its image, left alone";
    case SWITCH_DECLINED: return "declined";
    case SWITCH_INTERRUPTED: return "interrupted";
    default: return "not compatible";
    }
}

void listSwitch(Session& session) {
    const OutputSink* out = session.link.out;
    describeSwitch(out, session.link.identity);
    if (session.image.header != nullptr)
        sinkMessage(out, "; image %s: %s", formatVersion(session.image.header->version).text,
                    session.outcome.result == SWITCH_LEFT_ALONE ? "newer, left alone" : resultText(session.outcome.result));
    else
        sinkMessage(out, "; %s", resultText(session.outcome.result));
    char stable[PORT_DEVICE_SIZE];
    if (comStableName(session.port, stable, sizeof stable) != 0) sinkMessage(out, "\n   cable %s", stable);
}

// Runs on the port's thread once a switch answered: wanted when it is to be updated.
bool planSwitch(Session& session) {
    if (session.link.state == LINK_BOOTLOADER_NO_TABLE && !identifyFromFlash(session)) {
        session.outcome.result = SWITCH_NOT_COMPATIBLE;
        sinkMessage(session.link.out, "%s\n   not compatible", UNIDENTIFIED_SWITCH);
        return false;
    }
    session.verdict = verdictFor(session);
    session.outcome.result = listedResult(session.verdict);
    listSwitch(session);
    return wantsUpdate(session);
}

// One switch's update, as an unattended run of one switch does it, on its own thread.
void runSwitch(Session& session) {
    const UpdatePolicy policy{.askEachPass = false,
                              .answer = 0,
                              .passLimit = UNATTENDED_PASSES,
                              .probeFirst = false,
                              .takeKeys = false,
                              .verifyAll = runOptions.verifyAll};
    session.outcome = updateSwitch(session, policy);
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

int countResults(const Sessions& sessions, SwitchResult result) {
    int count = 0;
    for (const auto& session : sessions) count += session->outcome.result == result ? 1 : 0;
    return count;
}

int countWanted(const Sessions& sessions) {
    int count = 0;
    for (const auto& session : sessions) count += wantsUpdate(*session) ? 1 : 0;
    return count;
}

// Its text as whole lines named by its port, or its own row of the board.
void sendToLineSink(Session& session, int boardRow) {
    session.lineSink.boardRow = boardRow;
    session.lineSink.linePrefix = session.label;
    session.link.out = &session.lineSink;
    session.scanner.out = &session.lineSink;
    session.link.traceTag = session.label;
    session.scanner.traceTag = session.label;
    session.link.stop = &session.stop;
}

// On a terminal each switch's progress replaces its own row; elsewhere (a
// pipe, a file) every line goes out whole, named by its port.
void updateAtOnce(const Sessions& sessions) {
    kbdCatchInterrupt();
    const bool board = terminalCanRedraw();
    if (board) consoleStartBoard(countWanted(sessions), terminalColumns());
    std::vector<std::thread> updates;
    std::vector<Session*> running;
    for (const auto& session : sessions) {
        if (!wantsUpdate(*session)) continue;
        sendToLineSink(*session, board ? static_cast<int>(running.size()) : -1);
        running.push_back(session.get());
        updates.emplace_back(runSwitch, std::ref(*session));
    }
    awaitUpdates(running);
    for (std::thread& update : updates) update.join();
    consoleEndBoard();
}

void summarise(const Sessions& sessions) {
    consoleMessage("\nSummary:\n");
    for (const auto& session : sessions) {
        const SwitchResult result = session->outcome.result;
        if (result == SWITCH_NOT_FOUND || result == SWITCH_NOT_OPENED) continue;
        consoleMessage("%s: ", session->label);
        if (result == SWITCH_UPDATED)
            consoleMessage("updated to %s\n", formatVersion(session->image.header->version).text);
        else if (result == SWITCH_FAILED)
            consoleMessage("failed: %s\n", session->lineSink.lastLine);
        else
            consoleMessage("%s\n", resultText(result));
    }
}

// The switches asked about (updated, failed, declined, interrupted) get their outcome.
void reportUpdates(const Sessions& sessions, RunReport* report) {
    for (const auto& session : sessions) {
        if (session->verdict.kind != VERDICT_UPDATE) continue;   // listed only: its entry is complete
        const bool failed = session->outcome.result == SWITCH_FAILED;
        reportOutcome(report, *session, failed ? session->lineSink.lastLine : nullptr);
    }
}

bool confirmed(const Sessions& sessions) {
    if (runOptions.answerYes) return true;
    consoleMessage("\nUpdate %u switches? (Y,N) ", static_cast<unsigned>(countWanted(sessions)));
    const int answer = readYesNo();
    consoleMessage("%c\n", answer);
    return answer == 'Y';
}

int exitStatus(const Sessions& sessions) {
    const int unfinished = countResults(sessions, SWITCH_FAILED) + countResults(sessions, SWITCH_DECLINED) +
                           countResults(sessions, SWITCH_INTERRUPTED);
    return unfinished > 0 ? EXIT_FAILED : EXIT_COMPLETED;
}

}   // namespace

int updateAllSwitches(const PortRange& range, RunReport* report) {
    if (range.count == 0) consoleMessage("\nNo serial ports were found on this computer.");
    ProbeOutcome found = probePorts(range, ProbeOptions{planSwitch, false, false, report, true});
    const Sessions& sessions = found.sessions;
    if (found.interrupted) return EXIT_FAILED;
    if (found.switches == 0) return reportNoSwitchFound();
    consoleMessage("\n");
    const int compatible = countResults(sessions, SWITCH_IDENTIFIED) + countResults(sessions, SWITCH_UP_TO_DATE) +
                           countResults(sessions, SWITCH_LEFT_ALONE);
    if (countWanted(sessions) > 0) {
        if (confirmed(sessions))
            updateAtOnce(sessions);
        else
            for (const auto& session : sessions)
                if (wantsUpdate(*session)) session->outcome.result = SWITCH_DECLINED;
    }
    summarise(sessions);
    reportUpdates(sessions, report);
    return compatible == 0 ? EXIT_NOTHING_TO_UPDATE : exitStatus(sessions);
}
