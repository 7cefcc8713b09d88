// Millisecond time base. Values are 32-bit and wrap; compare them only
// through msElapsed.
#pragma once
#include <cstdint>

std::uint32_t msNow();
// 1 when strictly more than `duration` ms have passed since `start`
// (unsigned 32-bit difference, so it survives the wrap), else 0.
int msElapsed(std::uint32_t start, std::uint32_t duration);
// Returns once msElapsed(entry time, duration) is true; never early.
void msDelay(std::uint32_t duration);
// Gives up the processor for about `duration` ms (the update loop's pass).
void msSleep(std::uint32_t duration);

// What is left of `budget` ms since `start`, as a time-out for poll and its
// kin: 0 once spent, never more than an int holds.
inline int msLeft(std::uint32_t start, std::uint32_t budget) {
    const std::uint32_t spent = msNow() - start;
    if (spent >= budget) return 0;
    const std::uint32_t left = budget - spent;
    return left > 0x7FFFFFFFu ? 0x7FFFFFFF : static_cast<int>(left);
}
