#include "app/update_switch.h"

#include "app/probe.h"
#include "catalog/catalog.h"
#include "catalog/verdict.h"
#include "catalog/version.h"
#include "format/sinks.h"
#include "isp/line.h"
#include "link/clock.h"
#include "link/keyboard.h"
#include "link/serial.h"

namespace {

constexpr unsigned LISTEN_WAIT_MS = 100;

enum PassStep { PASS_AGAIN, PASS_PROGRAMMED, PASS_ENDS };

// Returns how many bytes it fed.
int feedWaitingBytes(Session& session) {
    SerialPort* port = &session.link.port;
    int fed = 0;
    for (int waiting = comBytesWaiting(port); waiting > 0; --waiting, ++fed) {
        unsigned char byte = 0;
        if (comRead(port, &byte, 1) != 1) break;   // feed only what was really read
        feedReplyByte(session.scanner, static_cast<signed char>(byte));
    }
    return fed;
}

// Keys change nothing here; at most one key (a function key's two codes
// together) leaves the buffer at a time.
void consumeKey() {
    if (kbdHit() == 0) return;
    if (kbdGetch() == 0) kbdGetch();
}

// Follows the restarted application's DSP update until it reports ready, or
// falls quiet for COMPLETION_QUIET_MS, or the line is lost, or the session is stopped.
void followDspUpdate(Session& session, bool takeKeys) {
    ReplyScanner& scanner = session.scanner;
    // Text from before the restart must not join the first reply after it,
    // should that reply's "^" arrive damaged.
    scanner.length = 0;
    scanner.lastDspProgressTime = msNow();
    int waited = 0;
    while (scanner.appReady == 0 && !msElapsed(scanner.lastDspProgressTime, COMPLETION_QUIET_MS) &&
           !linkStopped(session.link)) {
        if (takeKeys) consumeKey();
        const std::uint32_t asked = msNow();
        waited = comWaitInput(&session.link.port, LISTEN_WAIT_MS);
        if (waited == PORT_LOST) break;
        // A port that cannot tell it is gone answers at once with nothing:
        // the quiet period is waited out, not spun out.
        const std::uint32_t spent = msNow() - asked;
        const bool heard = waited != 0 && feedWaitingBytes(session) > 0;
        if (!heard && spent < LISTEN_WAIT_MS) msSleep(LISTEN_WAIT_MS - spent);
    }
    if (waited == PORT_LOST)
        sinkMessage(session.link.out,
                    "\nLost the connection to the switch during its DSP update.\n"
                    "The firmware is installed; power cycle the switch once its DSP update has finished.\n");
    else if (scanner.appReady == 0)
        sinkMessage(session.link.out, "\nFirmware update complete, please power cycle the switch.\n");
}

PassStep endWith(SwitchOutcome& outcome, SwitchResult result) {
    outcome.result = result;
    return PASS_ENDS;
}

// A switch in its bootloader without a table qualifies only when this run
// identified it before: from its flash, or before a failed pass erased its
// table. Other states have nothing to program yet: the next pass probes again.
PassStep checkState(Session& session, SwitchOutcome& outcome) {
    const int state = session.link.state;
    if (state == LINK_APPLICATION || state == LINK_BOOTLOADER) return PASS_PROGRAMMED;
    if (state != LINK_BOOTLOADER_NO_TABLE) return PASS_AGAIN;
    if (!session.programmingFailed && !session.identifiedFromFlash) {
        sinkMessage(session.link.out,
                    "\nThe switch on %s is in its bootloader without firmware information and cannot be identified.\n",
                    session.label);
        return endWith(outcome, SWITCH_FAILED);
    }
    session.link.identity.version = 0;
    return PASS_PROGRAMMED;
}

bool compatible(const Session& session) {
    const DeviceIdentity& identity = session.link.identity;
    const UpdateVerdict verdict = judgeUpdate(identity, session.image);
    if (verdictCompatible(verdict)) return true;
    if (verdict.kind == VERDICT_INCOMPATIBLE)
        reportIncompatibility(verdict.compatibility, &identity, &session.image);
    else
        sinkMessage(session.link.out, "\nThe device on %s not compatible with this update.\nProduct name: \"%s\"\n",
                    session.label, identity.nameText);
    return false;
}

// Probes (but before the first pass, unless asked), checks, asks and programs once.
PassStep runPass(Session& session, const UpdatePolicy& policy, SwitchOutcome& outcome, bool first) {
    if (linkStopped(session.link)) return endWith(outcome, SWITCH_INTERRUPTED);
    if ((!first || policy.probeFirst) && probeDevice(session.link) != PROBE_IDENTIFIED) {
        outcome.lost = true;
        return endWith(outcome, session.programmingFailed ? SWITCH_FAILED : SWITCH_NOT_FOUND);
    }
    const PassStep state = checkState(session, outcome);
    if (state != PASS_PROGRAMMED) return state;
    if (!compatible(session)) return endWith(outcome, SWITCH_NOT_COMPATIBLE);
    if (policy.askEachPass && confirmVersion(&session.link.identity, &session.image, policy.answer) == 0)
        return endWith(outcome, SWITCH_DECLINED);
    session.scanner.appReady = 0;
    if (updateFirmware(session.pass, &session.image, policy.verifyAll) == UPDATE_DONE) return PASS_PROGRAMMED;
    session.programmingFailed = true;
    if (++outcome.failedPasses == policy.passLimit) return endWith(outcome, SWITCH_FAILED);
    return PASS_AGAIN;
}

}   // namespace

SwitchOutcome updateSwitch(Session& session, const UpdatePolicy& policy) {
    SwitchOutcome outcome;
    PassStep step = PASS_AGAIN;
    for (bool first = true; step == PASS_AGAIN; first = false) {
        msSleep(1);
        feedWaitingBytes(session);
        if (policy.takeKeys) consumeKey();
        step = runPass(session, policy, outcome, first);
    }
    if (step == PASS_PROGRAMMED) {
        followDspUpdate(session, policy.takeKeys);
        outcome.result = SWITCH_UPDATED;
    }
    if (outcome.result != SWITCH_UPDATED && linkStopped(session.link)) outcome.result = SWITCH_INTERRUPTED;
    outcome.endedAt = msNow();
    return outcome;
}
