#include "app/probe_ports.h"

#include <condition_variable>
#include <cstdio>
#include <mutex>
#include <thread>
#include <vector>

#include "app/probe.h"
#include "app/quiet_ports.h"
#include "app/report.h"
#include "format/sinks.h"
#include "format/support_trace.h"
#include "isp/line.h"
#include "link/clock.h"
#include "link/keyboard.h"
#include "link/port_list.h"
#include "link/serial.h"

namespace {

// Some ports (Windows Bluetooth serial ports) keep an open waiting for seconds.
constexpr std::uint32_t OPEN_GIVE_UP_MS = 3000;
// A network port may take 5 s to connect, then negotiates its line settings.
constexpr std::uint32_t NETWORK_OPEN_GIVE_UP_MS = 12000;
constexpr auto POLL = std::chrono::milliseconds(20);
constexpr std::size_t REASON_CAPACITY = 256;

enum Stage { STAGE_OPENING, STAGE_PROBING, STAGE_DONE };

struct Slot {
    std::unique_ptr<Session> session;
    std::thread worker;
    Stage stage = STAGE_OPENING;
    std::uint32_t startedAt = 0;
    bool abandoned = false;   // its open took too long: reported as not opened, its thread left to end alone
    int result = PORT_NOT_OPENED;
    bool wanted = false;
};

// Shared with the port threads, so that a thread left blocked in an open can
// still finish after the probing is over.
struct Board {
    std::mutex lock;
    std::condition_variable changed;
    std::vector<Slot> slots;
    ProbeOptions options{};
    bool interrupted = false;   // Ctrl-C stopped every probe (runs with a report)
    std::vector<PortName> quiet;   // in a listing: the ports named together at the end
    unsigned reasonsShown = 0;   // one bit per PORT_OPEN_ reason: each is given once a run
};

// What a network serial server did, in words.
struct NetworkReason {
    int failure;
    const char* text;
};

constexpr NetworkReason NETWORK_REASONS[] = {
    {PORT_OPEN_NOT_RFC2217, "The server does not accept serial settings (RFC 2217)."},
    {PORT_OPEN_REFUSED, "The server refused the connection."},
    {PORT_OPEN_UNREACHABLE, "The server cannot be reached."},
    {PORT_OPEN_NO_HOST, "The server's name is not known."},
    {PORT_OPEN_TIMED_OUT, "The server did not answer in time."},
};

using Hold = std::unique_lock<std::mutex>;

// A found device is named by its COM number and its path, so the user sees both.
void announcePort(Session& session) {
    const PortName& port = session.port;
    const OutputSink* out = session.link.out;
    if (port.number == 0)
        sinkMessage(out, "\n%s: ", port.device);
    else if (port.device[0] == '\0')
        sinkMessage(out, "\nCOM%u: ", port.number);
    else
        sinkMessage(out, "\nCOM%u (%s): ", port.number, port.device);
}

int openPort(Session& session) {
    const PortName& port = session.port;
    SerialPort& serial = session.link.port;
    const int opened = port.device[0] != '\0' ? comOpenDevice(&serial, port.device, APPLICATION_BAUD)
                                              : comOpen(&serial, port.number, APPLICATION_BAUD);
    // Tolerated: nothing here needs DTR, but a support case may.
    if (opened != 0 && serial.dtrUnanswered != 0)
        traceNote(session.link.traceTag, "the server did not answer the DTR setting (a line without modem lines?)");
    return opened;
}

int probeOpened(Board& board, Session& session, bool* wanted) {
    drainInput(session.link);
    if (probeDevice(session.link) != PROBE_IDENTIFIED) {
        sinkMessage(session.link.out, "No Brenmoor devices detected.");
        *wanted = board.options.keepOpened;
        return PORT_NO_ANSWER;
    }
    session.outcome.result = SWITCH_IDENTIFIED;
    const AfterProbe after = board.options.afterProbe;
    *wanted = (after != nullptr && after(session)) || board.options.keepOpened;
    return PORT_SWITCH_ANSWERED;
}

// Whether the open may go on: false when the port was given up meanwhile.
bool openedInTime(Board& board, Slot& slot, bool opened) {
    const Hold hold(board.lock);
    if (slot.abandoned) {
        if (opened) comClose(&slot.session->link.port);
        slot.stage = STAGE_DONE;
        return false;
    }
    slot.stage = STAGE_PROBING;
    return true;
}

void probeSlot(const std::shared_ptr<Board>& board, std::size_t index) {
    Slot& slot = board->slots[index];
    Session& session = *slot.session;
    const bool opened = openPort(session) != 0;
    if (!openedInTime(*board, slot, opened)) return;
    bool wanted = false;
    int result = PORT_NOT_OPENED;
    if (opened)
        result = probeOpened(*board, session, &wanted);
    else
        sinkMessage(session.link.out, "Could not open port.");
    if (!wanted) comClose(&session.link.port);
    const Hold hold(board->lock);
    slot.result = result;
    slot.wanted = wanted;
    slot.stage = STAGE_DONE;
    board->changed.notify_all();
}

// Ctrl-C in a run that ends with its report: every probe ends as it stands.
void stopEveryProbe(Board& board) {
    board.interrupted = true;
    for (Slot& each : board.slots) each.session->stop = true;
}

// Waits until the slot is done or its open has taken too long. True when done.
bool awaitSlot(Board& board, Slot& slot) {
    Hold hold(board.lock);
    for (;;) {
        if (slot.stage == STAGE_DONE) return true;
        const bool network = comPortUrlKind(slot.session->port.device) == PORT_URL_RFC2217;
        if (slot.stage == STAGE_OPENING &&
            msElapsed(slot.startedAt, network ? NETWORK_OPEN_GIVE_UP_MS : OPEN_GIVE_UP_MS)) {
            slot.abandoned = true;
            return false;
        }
        if (board.options.report != nullptr && !board.interrupted && kbdInterrupted()) stopEveryProbe(board);
        board.changed.wait_for(hold, POLL);
    }
}

// Why a port that is there could not be opened, where the user can do
// something about it; an empty text otherwise.
void openFailureReason(const Session& session, char* text, std::size_t size) {
    const int failure = session.link.port.openFailure;
    text[0] = '\0';
    for (const NetworkReason& reason : NETWORK_REASONS)
        if (reason.failure == failure) std::snprintf(text, size, "%s", reason.text);
    if (failure == PORT_OPEN_BUSY) std::snprintf(text, size, "The port is in use by another program.");
    if (failure != PORT_OPEN_DENIED) return;
    char group[64] = "dialout", user[64] = "$USER";
    comDeviceGroup(session.port, group, sizeof group);
    comUserName(user, sizeof user);
    std::snprintf(text, size, "Permission denied: add your user to the group %s (sudo usermod -aG %s %s), then log in again.",
                  group, group, user);
}

// Each reason is shown once a run, after the port's "Could not open port.".
void showOpenFailure(Board& board, const Session& session) {
    char reason[REASON_CAPACITY];
    openFailureReason(session, reason, sizeof reason);
    const unsigned bit = 1u << session.link.port.openFailure;
    if (reason[0] == '\0' || (board.reasonsShown & bit) != 0) return;
    board.reasonsShown |= bit;
    consoleMessage("\n%s", reason);
}

// The port's entry in the run's report, as the console has just shown it.
void reportSlot(Board& board, Slot& slot, bool done) {
    Session& session = *slot.session;
    RunReport* report = board.options.report;
    if (done && slot.result == PORT_NOT_OPENED && session.link.port.openFailure == PORT_OPEN_MISSING) {
        reportProbedPort(report, session, SWITCH_NOT_FOUND, nullptr);   // nothing there to open
    } else if (!done || slot.result == PORT_NOT_OPENED) {
        char reason[REASON_CAPACITY] = "";
        if (done) openFailureReason(session, reason, sizeof reason);
        reportProbedPort(report, session, SWITCH_NOT_OPENED, reason[0] != '\0' ? reason : "Could not open port.");
    } else if (slot.result == PORT_NO_ANSWER) {
        reportProbedPort(report, session, board.interrupted ? SWITCH_INTERRUPTED : SWITCH_NOT_FOUND, nullptr);
    } else {
        reportProbedPort(report, session, session.outcome.result, nullptr);
    }
}

// In a listing, a port where nothing answered (or that is not there) is only
// named at the end, with the others like it.
bool quietInListing(const Board& board, const Slot& slot, bool done) {
    if (!board.options.listing) return false;
    char reason[REASON_CAPACITY];
    openFailureReason(*slot.session, reason, sizeof reason);
    return !done || slot.result == PORT_NO_ANSWER || (slot.result == PORT_NOT_OPENED && reason[0] == '\0');
}

void showSlot(Board& board, Slot& slot) {
    const bool done = awaitSlot(board, slot);
    Hold hold(board.lock);
    Session& session = *slot.session;
    if (quietInListing(board, slot, done)) {
        board.quiet.push_back(session.port);
        reportSlot(board, slot, done);
        return;
    }
    consolePutString(session.text);
    if (!done) consoleMessage("Could not open port.");
    if (done && slot.result == PORT_NOT_OPENED) showOpenFailure(board, session);
    consoleFlush();
    reportSlot(board, slot, done);
}

void startSlots(const std::shared_ptr<Board>& board, const PortRange& range) {
    board->slots.resize(static_cast<std::size_t>(range.count));
    for (std::size_t index = 0; index < board->slots.size(); ++index) {
        Slot& slot = board->slots[index];
        slot.session = std::make_unique<Session>();
        // One port alone is shown and traced as it goes, as a run of one port always was.
        startSession(*slot.session, range.ports[index], board->slots.size() > 1 || board->options.listing);
        announcePort(*slot.session);
        slot.startedAt = msNow();
    }
    for (std::size_t index = 0; index < board->slots.size(); ++index)
        board->slots[index].worker = std::thread(probeSlot, board, index);
}

// The ports after the chosen one stop probing, and every thread ends but
// those still in an open: they close what they open on their own. What is
// not kept is closed.
void endSlots(Board& board, std::size_t chosen, bool keepWanted) {
    for (std::size_t index = 0; index < board.slots.size(); ++index)
        if (index > chosen && chosen < board.slots.size()) board.slots[index].session->stop = true;
    for (Slot& slot : board.slots) {
        bool abandoned = false;
        {
            const Hold hold(board.lock);
            abandoned = slot.abandoned || slot.stage == STAGE_OPENING;
            slot.abandoned = abandoned;
        }
        if (abandoned)
            slot.worker.detach();
        else
            slot.worker.join();
    }
    for (std::size_t index = 0; index < board.slots.size(); ++index) {
        const Slot& slot = board.slots[index];
        if (index != chosen && !slot.abandoned && !(keepWanted && slot.wanted)) comClose(&slot.session->link.port);
    }
}

void handOverSessions(Board& board, ProbeOutcome* outcome) {
    for (Slot& slot : board.slots)
        if (!slot.abandoned) {
            showSessionOnConsole(*slot.session);
            outcome->sessions.push_back(std::move(slot.session));
        }
}

}   // namespace

ProbeOutcome probePorts(const PortRange& range, const ProbeOptions& options) {
    auto board = std::make_shared<Board>();
    board->options = options;
    startSlots(board, range);
    ProbeOutcome outcome{nullptr, 0, false, {}};
    std::size_t chosen = board->slots.size();
    for (std::size_t index = 0; index < board->slots.size() && chosen == board->slots.size(); ++index) {
        Slot& slot = board->slots[index];
        showSlot(*board, slot);
        if (slot.abandoned) continue;
        if (slot.result == PORT_SWITCH_ANSWERED) ++outcome.switches;
        if (slot.wanted && options.stopAtWanted) chosen = index;
    }
    if (options.listing) consolePutString(quietPortsLine(board->quiet).c_str());
    endSlots(*board, chosen, !options.stopAtWanted);
    outcome.interrupted = board->interrupted;
    if (chosen < board->slots.size()) {
        outcome.chosen = std::move(board->slots[chosen].session);
        showSessionOnConsole(*outcome.chosen);
    }
    if (!options.stopAtWanted) handOverSessions(*board, &outcome);
    return outcome;
}
