// The update loop: probe, check, ask and program until one pass succeeds,
// then listen to the restarted switch until it reports ready or falls quiet.
#pragma once
#include <cstdint>

#include "link/port_list.h"

constexpr std::uint32_t COMPLETION_QUIET_MS = 13000;

extern int updateFinished;   // a programming pass has succeeded; from then on only listen

// Never returns: every ending goes through exitProgram.
[[noreturn]] void runUpdateLoop(const PortName& port);
