// One switch's update, from its identity to the end of its DSP update: the
// routine of the run of one switch and of every switch of --all.
#pragma once
#include <cstdint>

#include "app/session.h"

constexpr std::uint32_t COMPLETION_QUIET_MS = 13000;
constexpr int UNATTENDED_PASSES = 3;   // without a person at the keyboard: a pass and two more

// How the routine runs a switch.
struct UpdatePolicy {
    bool askEachPass;     // confirm the versions before every pass (the run of one switch)
    int answer;           // 'Y' answers that question as if typed; 0 asks on the keyboard
    int passLimit;        // failed passes before giving up; 0: no limit (a person decides)
    bool probeFirst;      // probe the switch again before the first pass
    bool takeKeys;        // keys pressed meanwhile are taken and change nothing (a console run)
    bool verifyAll;       // read back the whole flash the pass wrote
};

// Programs the session's image into the switch, passes until one succeeds or
// the policy gives up, then follows the restarted application's DSP update.
// Prints the messages of the passes to the session's sink; the caller says
// what the outcome means (a lost switch, the passes given up).
SwitchOutcome updateSwitch(Session& session, const UpdatePolicy& policy);
