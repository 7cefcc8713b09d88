#include "app/update_loop.h"

#include "app/exit.h"
#include "app/options.h"
#include "app/update_switch.h"
#include "format/sinks.h"

namespace {

int exitStatusOf(SwitchResult result) {
    if (result == SWITCH_UPDATED) return EXIT_COMPLETED;
    if (result == SWITCH_NOT_COMPATIBLE || result == SWITCH_NOT_FOUND) return EXIT_NOTHING_TO_UPDATE;
    return EXIT_FAILED;
}

}   // namespace

int runUpdateLoop(Session& session) {
    const bool unattended = runOptions.answerYes;
    const UpdatePolicy policy{true, unattended ? 'Y' : 0, unattended ? UNATTENDED_PASSES : 0, true, true,
                              runOptions.verifyAll};
    const SwitchOutcome outcome = updateSwitch(session, policy);
    if (outcome.lost)
        consoleMessage("\nNo Brenmoor device found on %s.\n", session.label);
    else if (outcome.result == SWITCH_FAILED && policy.passLimit != 0 && outcome.failedPasses == policy.passLimit)
        consoleMessage("\nThe update failed %d times; giving up.\n", outcome.failedPasses);
    return exitStatusOf(outcome.result);
}
