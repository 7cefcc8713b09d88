#include "app/update_loop.h"

#include <atomic>
#include <cstdio>
#include <thread>

#include "app/exit.h"
#include "app/options.h"
#include "app/report.h"
#include "app/update_switch.h"
#include "format/sinks.h"
#include "link/clock.h"
#include "link/keyboard.h"

namespace {

constexpr unsigned INTERRUPT_POLL_MS = 20;

int exitStatusOf(SwitchResult result) {
    if (result == SWITCH_UPDATED) return EXIT_COMPLETED;
    if (result == SWITCH_NOT_COMPATIBLE || result == SWITCH_NOT_FOUND) return EXIT_NOTHING_TO_UPDATE;
    return EXIT_FAILED;
}

// A run that ends with its report follows the pass's messages (the last one
// is the report's error) and lets Ctrl-C stop the update as it stands.
void prepareForReport(Session& session) {
    session.lineSink.keepLastLine = true;
    session.link.out = &session.lineSink;
    session.scanner.out = &session.lineSink;
    session.link.stop = &session.stop;
}

void stopOnInterrupt(Session& session, const std::atomic<bool>& done) {
    while (!done.load()) {
        msSleep(INTERRUPT_POLL_MS);
        if (!kbdInterrupted()) continue;
        session.stop = true;
        return;
    }
}

SwitchOutcome runWithReport(Session& session, const UpdatePolicy& policy) {
    prepareForReport(session);
    std::atomic<bool> done{false};
    std::thread watcher(stopOnInterrupt, std::ref(session), std::cref(done));
    const SwitchOutcome outcome = updateSwitch(session, policy);
    done = true;
    watcher.join();
    return outcome;
}

}   // namespace

int runUpdateLoop(Session& session, RunReport* report) {
    const bool unattended = runOptions.answerYes;
    const UpdatePolicy policy{.askEachPass = true,
                              .answer = unattended ? 'Y' : 0,
                              .passLimit = unattended ? UNATTENDED_PASSES : 0,
                              .probeFirst = true,
                              .takeKeys = true,
                              .verifyAll = runOptions.verifyAll};
    session.outcome = report != nullptr ? runWithReport(session, policy) : updateSwitch(session, policy);
    const SwitchOutcome& outcome = session.outcome;
    char lost[PORT_DEVICE_SIZE + 40] = "";
    if (outcome.lost) {
        std::snprintf(lost, sizeof lost, "No Brenmoor device found on %s.", session.label);
        consoleMessage("\n%s\n", lost);
    } else if (outcome.result == SWITCH_FAILED && policy.passLimit != 0 && outcome.failedPasses == policy.passLimit) {
        consoleMessage("\nThe update failed %d times; giving up.\n", outcome.failedPasses);
    }
    const bool failed = outcome.result == SWITCH_FAILED;
    reportOutcome(report, session, outcome.lost ? lost : failed ? session.lineSink.lastLine : nullptr);
    return exitStatusOf(outcome.result);
}
