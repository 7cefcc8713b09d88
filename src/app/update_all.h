// Several switches in one run (--all): every switch found is identified and
// listed, then, after one question, every one that needs it is updated at the
// same time, one session each, and the run ends with a summary.
#pragma once
#include "app/startup.h"

// What --all does with a switch, decided when it is listed.
enum : int {
    PLAN_NONE = 0,       // nothing answered, or the port did not open
    PLAN_UPDATE,         // compatible, its version older than its image's or unknown
    PLAN_UP_TO_DATE,     // runs its image's version
    PLAN_NEWER,          // runs a newer version: never downgraded
    PLAN_INCOMPATIBLE,   // no image is made for it, or it cannot be identified
    PLAN_UPDATED,        // after the run: updated
    PLAN_FAILED,         // after the run: its update failed
    PLAN_DECLINED,       // the user answered N
    PLAN_INTERRUPTED,    // after the run: Ctrl-C came before its update was finished
};

// Exit status: 0 every compatible switch updated or up to date (or newer);
// 1 one failed, the user declined or Ctrl-C ended the run; 2 no switch
// found, or none compatible. A first Ctrl-C stops every update (nothing more
// is sent) and the run ends with its summary; a second ends it at once.
[[noreturn]] void updateAllSwitches(const PortRange& range);
