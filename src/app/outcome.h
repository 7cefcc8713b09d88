// What happened to the switch on one port: the outcome a run reports.
#pragma once
#include <cstdint>

// What happened to a switch. A listing decides what it found (up to
// SWITCH_NOT_COMPATIBLE); the update routine returns SWITCH_NOT_FOUND,
// SWITCH_NOT_COMPATIBLE and the results from SWITCH_UPDATED on.
enum SwitchResult : int {
    SWITCH_NOT_OPENED,       // its port could not be opened
    SWITCH_NOT_FOUND,        // nothing answered (before any pass failed)
    SWITCH_IDENTIFIED,       // identified; nothing asked of it yet
    SWITCH_UP_TO_DATE,       // runs its image's version
    SWITCH_LEFT_ALONE,       // runs a newer version than its image's: never downgraded
    SWITCH_NOT_COMPATIBLE,   // no image may go on it, or it cannot be identified
    SWITCH_UPDATED,          // programmed and restarted; its DSP update followed
    SWITCH_DECLINED,         // the user answered N
    SWITCH_FAILED,           // a pass failed and no more were tried (see SwitchOutcome)
    SWITCH_INTERRUPTED,      // Ctrl-C came before its update was finished
};

struct SwitchOutcome {
    SwitchResult result = SWITCH_IDENTIFIED;
    int failedPasses = 0;
    bool lost = false;   // it stopped answering between passes
    std::uint32_t endedAt = 0;   // msNow() when the routine returned; 0: it did not run
};
