// The update loop: probe, check, ask and program until one pass succeeds,
// then listen to the restarted switch until it reports ready or falls quiet.
#pragma once
#include <cstdint>

#include "app/session.h"

constexpr std::uint32_t COMPLETION_QUIET_MS = 13000;

// Never returns: every ending goes through exitProgram.
[[noreturn]] void runUpdateLoop(Session& session);
