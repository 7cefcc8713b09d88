// The run of one switch: its update, asked for before every pass, tried again
// while a person is there to decide (three passes at most with --yes).
#pragma once
#include "app/session.h"

// Updates the switch of the session and says why when it stopped answering or
// the passes were given up. Returns the exit status of the run.
int runUpdateLoop(Session& session);
