// The run of one switch: its update, asked for before every pass, tried again
// while a person is there to decide (three passes at most with --yes).
#pragma once
#include "app/session.h"

struct RunReport;

// Updates the switch of the session and says why when it stopped answering or
// the passes were given up. With a report, the session's entry gets the
// outcome, and Ctrl-C stops the update as it stands. Returns the exit status.
int runUpdateLoop(Session& session, RunReport* report);
