// bmfwu-sim: serves one simulated switch until told to stop.
#include "sim_internal.h"

#include <pthread.h>
#include <csignal>
#include <cstdio>
#include <ctime>

namespace {

// Waits for SIGTERM, SIGINT or SIGHUP, or until exitAfterMs pass (0: no limit).
void waitForStop(const sigset_t& signals, unsigned exitAfterMs) {
    timespec step{0, 100'000'000};
    unsigned waitedMs = 0;
    while (exitAfterMs == 0 || waitedMs < exitAfterMs) {
        if (exitAfterMs && exitAfterMs - waitedMs < 100)
            step.tv_nsec = static_cast<long>(exitAfterMs - waitedMs) * 1'000'000;
        if (sigtimedwait(&signals, nullptr, &step) > 0) return;
        waitedMs += static_cast<unsigned>(step.tv_nsec / 1'000'000);
    }
}

}   // namespace

int main(int argc, char** argv) {
    SimOptions options;
    options.capture = false;   // a long run would only pile it up
    unsigned exitAfterMs = 0;
    std::string error;
    const int parsed = simParseArguments(argc - 1, argv + 1, options, exitAfterMs, error);
    if (parsed == 1) {
        std::fputs(simUsage(), stdout);
        return 0;
    }
    if (parsed != 0) {
        std::fprintf(stderr, "bmfwu-sim: %s\nTry bmfwu-sim --help.\n", error.c_str());
        return 2;
    }
    // Blocked before the serving thread starts, so only this thread takes them.
    sigset_t signals;
    sigemptyset(&signals);
    sigaddset(&signals, SIGTERM);
    sigaddset(&signals, SIGINT);
    sigaddset(&signals, SIGHUP);
    pthread_sigmask(SIG_BLOCK, &signals, nullptr);

    SimSwitch* sim = simStart(options, &error);
    if (!sim) {
        std::fprintf(stderr, "bmfwu-sim: %s\n", error.c_str());
        return 1;
    }
    std::printf("%s\n", simSlavePath(sim).c_str());
    std::fflush(stdout);
    waitForStop(signals, exitAfterMs);
    const SimStatus status = simStatus(sim);
    simStop(sim);
    std::printf("bmfwu-sim: %llu bytes from the host, %llu bytes to the host, %llu ms of flash time\n",
                static_cast<unsigned long long>(status.bytesFromHost),
                static_cast<unsigned long long>(status.bytesToHost),
                static_cast<unsigned long long>(status.flashBusyUs / 1000));
    return 0;
}
