// Several switches in one run (--all): every switch found is identified and
// listed, then, after one question, every one that needs it is updated at the
// same time, one session each, and the run ends with a summary.
#pragma once
#include "app/startup.h"

struct RunReport;

// Returns the exit status: 0 every compatible switch updated or up to date (or
// newer); 1 one failed, the user declined or Ctrl-C ended the run; 2 no switch
// found, or none compatible. A first Ctrl-C stops every update (nothing more
// is sent) and the run ends with its summary; a second ends it at once.
// With a report, every port tried gets its entry.
int updateAllSwitches(const PortRange& range, RunReport* report);
