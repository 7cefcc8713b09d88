// The time base on Windows: the runtime's clock, which there counts wall
// milliseconds from process start (CLOCKS_PER_SEC is 1000).
#include "link/clock.h"

#include <windows.h>

#include <ctime>

static_assert(CLOCKS_PER_SEC == 1000, "the clock ticks in milliseconds");

std::uint32_t msNow() {
    return static_cast<std::uint32_t>(std::clock());
}

int msElapsed(std::uint32_t start, std::uint32_t duration) {
    return static_cast<std::uint32_t>(msNow() - start) > duration ? 1 : 0;
}

// Spins rather than sleeps: Sleep would round short delays up to the system
// tick (about 15 ms by default), and the protocol pauses are 10 to 100 ms.
void msDelay(std::uint32_t duration) {
    std::uint32_t start = msNow();
    while (msElapsed(start, duration) == 0) {
    }
}

void msSleep(std::uint32_t duration) {
    Sleep(duration);
}
