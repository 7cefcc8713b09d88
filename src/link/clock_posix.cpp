#include "link/clock.h"

#include <cerrno>
#include <ctime>

namespace {

constexpr long NS_PER_MS = 1000000L;

// Sleeps at least `duration` ms, resuming after signals.
void sleepAtLeast(std::uint32_t duration) {
    timespec left = {static_cast<time_t>(duration / 1000), static_cast<long>(duration % 1000) * NS_PER_MS};
    while (nanosleep(&left, &left) != 0 && errno == EINTR) {
    }
}

}   // namespace

// Wall time that never steps back; the process's CPU time (std::clock) would
// stand still while we sleep or wait for the port.
std::uint32_t msNow() {
    timespec now;
    if (clock_gettime(CLOCK_MONOTONIC, &now) != 0) return 0;
    auto ms = static_cast<std::uint64_t>(now.tv_sec) * 1000u + static_cast<std::uint64_t>(now.tv_nsec / NS_PER_MS);
    return static_cast<std::uint32_t>(ms);
}

int msElapsed(std::uint32_t start, std::uint32_t duration) {
    return static_cast<std::uint32_t>(msNow() - start) > duration ? 1 : 0;
}

// Sleeps instead of spinning; the final check is msElapsed itself, so the
// delay never ends early.
void msDelay(std::uint32_t duration) {
    std::uint32_t start = msNow();
    while (msElapsed(start, duration) == 0) {
        std::uint32_t spent = msNow() - start;
        sleepAtLeast(spent > duration ? 1 : duration - spent + 1);
    }
}

void msSleep(std::uint32_t duration) {
    sleepAtLeast(duration);
}
