// A time base that never sleeps: every reading moves it on, and every wait
// is spent at once, so a peer that stays silent costs a fuzz run nothing.
#include "link/clock.h"

namespace {
std::uint32_t now = 0;
}

std::uint32_t msNow() {
    return ++now;
}

int msElapsed(std::uint32_t start, std::uint32_t duration) {
    return msNow() - start > duration ? 1 : 0;
}

void msDelay(std::uint32_t duration) {
    now += duration + 1;
}

void msSleep(std::uint32_t duration) {
    now += duration;
}

void fakeClockAdvance(std::uint32_t duration) {
    now += duration;
}
