// A switch served on a pseudo-terminal: the serving thread, the wire between
// the host's rate and the switch's, pacing, capture, and the public API.
#include "sim_internal.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>
#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <deque>
#include <mutex>
#include <thread>

namespace {

constexpr std::uint64_t IDLE_POLL_US = 5000;   // how often a closed slave is looked at
constexpr std::uint64_t MAX_POLL_US = 20000;

struct Timed {
    std::uint64_t dueUs;
    std::uint32_t baud;
    std::uint8_t value;
};

// A byte that has crossed the wire and waits in the host's USB adapter.
struct Held {
    std::uint64_t deliverUs;
    std::uint8_t value;
};

// One line of the traffic log: a run of bytes in one direction with the same
// rate and fate.
struct LogRun {
    bool open = false;
    bool fromHost = false;
    bool heard = false;
    std::uint32_t baud = 0;
    std::uint64_t startUs = 0, lastUs = 0;
    std::string text;
};

unsigned speedToBaud(speed_t speed) {
    static constexpr struct {
        speed_t speed;
        unsigned baud;
    } table[] = {
        {B0, 0},           {B50, 50},         {B75, 75},         {B110, 110},     {B134, 134},     {B150, 150},
        {B200, 200},       {B300, 300},       {B600, 600},       {B1200, 1200},   {B1800, 1800},   {B2400, 2400},
        {B4800, 4800},     {B9600, 9600},     {B19200, 19200},   {B38400, 38400}, {B57600, 57600}, {B115200, 115200},
        {B230400, 230400}, {B460800, 460800}, {B921600, 921600},
    };
    for (const auto& row : table)
        if (row.speed == speed) return row.baud;
    return 0;
}

std::uint64_t byteTimeUs(std::uint32_t baud) {
    return baud ? 10'000'000ull / baud : 0;
}

// A USB-serial adapter holds what it has received until its latency timer
// ticks; the timer runs freely, not from the byte's arrival.
std::uint64_t nextTickUs(std::uint64_t dueUs, unsigned latencyMs) {
    const std::uint64_t periodUs = std::uint64_t{latencyMs} * 1000;
    return periodUs ? (dueUs + periodUs - 1) / periodUs * periodUs : dueUs;
}

}   // namespace

struct SimSwitch {
    std::mutex mutex;
    SimDevice device;
    int master = -1;
    std::string slavePath;
    std::thread thread;
    std::atomic<bool> stopping{false};
    std::chrono::steady_clock::time_point start = std::chrono::steady_clock::now();
    bool hostOpen = false;
    std::deque<Timed> rx, tx;
    std::deque<Held> held;
    std::uint64_t rxClockUs = 0, txClockUs = 0, busyUntilUs = 0;
    std::vector<SimWireByte> traffic;
    std::FILE* log = nullptr;
    LogRun logRun;
    SimMode loggedMode = SIM_MODE_AUTOBAUD;
    bool stateSaveFailed = false;
};

namespace {

std::uint64_t nowUs(const SimSwitch& sim) {
    return static_cast<std::uint64_t>(
        std::chrono::duration_cast<std::chrono::microseconds>(std::chrono::steady_clock::now() - sim.start).count());
}

unsigned hostBaud(const SimSwitch& sim) {
    termios settings{};
    // On a pty master, tcgetattr reports the slave's settings: the host's rate.
    if (tcgetattr(sim.master, &settings) != 0) return 0;
    return speedToBaud(cfgetospeed(&settings));
}

void logFlush(SimSwitch& sim) {
    LogRun& run = sim.logRun;
    if (!run.open) return;
    std::fprintf(sim.log, "%12.6f %s %6u %s\"%s\"\n", static_cast<double>(run.startUs) / 1e6,
                 run.fromHost ? "host>sim" : "sim>host", run.baud, run.heard ? "" : "LOST ", run.text.c_str());
    run.open = false;
    run.text.clear();
}

void logByte(SimSwitch& sim, const SimWireByte& wire) {
    LogRun& run = sim.logRun;
    if (run.open && (run.fromHost != wire.fromHost || run.heard != wire.heard || run.baud != wire.baud ||
                     wire.timeUs - run.lastUs > 5000))
        logFlush(sim);
    if (!run.open) {
        run = {true, wire.fromHost, wire.heard, wire.baud, wire.timeUs, wire.timeUs, {}};
    }
    run.lastUs = wire.timeUs;
    const std::uint8_t c = wire.value;
    char escaped[8];
    if (c == '\r')
        std::strcpy(escaped, "\\r");
    else if (c == '\n')
        std::strcpy(escaped, "\\n");
    else if (c == '\\' || c == '"')
        std::snprintf(escaped, sizeof escaped, "\\%c", c);
    else if (c < 0x20 || c > 0x7E)
        std::snprintf(escaped, sizeof escaped, "\\x%02X", c);
    else
        std::snprintf(escaped, sizeof escaped, "%c", c);
    run.text += escaped;
    if (c == '\n') logFlush(sim);
}

void logNote(SimSwitch& sim, const char* note, std::uint64_t timeUs) {
    if (!sim.log) return;
    logFlush(sim);
    std::fprintf(sim.log, "%12.6f ---- %s\n", static_cast<double>(timeUs) / 1e6, note);
}

void logMode(SimSwitch& sim) {
    static constexpr const char* names[] = {"ROM bootloader, autobaud", "ROM bootloader, handshake",
                                            "ROM bootloader, synchronised", "application running",
                                            "halted until reset"};
    if (sim.device.mode == sim.loggedMode) return;
    sim.loggedMode = sim.device.mode;
    logNote(sim, names[sim.device.mode], sim.device.nowUs);
}

void record(SimSwitch& sim, const SimWireByte& wire) {
    if (sim.device.options.capture) sim.traffic.push_back(wire);
    if (sim.log) logByte(sim, wire);
}

// Turns what the device produced into timed bytes on the wire.
void takeOutput(SimSwitch& sim, std::uint64_t now) {
    const bool paced = sim.device.options.throttle;
    for (const SimOut& out : sim.device.out) {
        if (out.byte < 0) {
            if (paced) sim.busyUntilUs = std::max(sim.busyUntilUs, now) + out.delayUs;
            continue;
        }
        std::uint64_t due = now;
        if (paced) {
            due = std::max({sim.txClockUs, now, sim.busyUntilUs}) + byteTimeUs(out.baud);
            sim.txClockUs = due;
        }
        sim.tx.push_back({due, out.baud, static_cast<std::uint8_t>(out.byte)});
    }
    sim.device.out.clear();
}

void saveIfChanged(SimSwitch& sim) {
    SimDevice& device = sim.device;
    if (!device.flashChanged) return;
    device.flashChanged = false;
    if (device.options.statePath.empty()) return;
    if (simStateSave(device.options.statePath, device.memory, device.bootBank) != 0 && !sim.stateSaveFailed) {
        std::fprintf(stderr, "bmfwu-sim: cannot save the state to %s\n", device.options.statePath.c_str());
        sim.stateSaveFailed = true;
    }
}

void hearDue(SimSwitch& sim, std::uint64_t now, unsigned host) {
    SimDevice& device = sim.device;
    device.hostBaud = host;
    while (!sim.rx.empty() && sim.rx.front().dueUs <= now && sim.busyUntilUs <= now) {
        const Timed byte = sim.rx.front();
        sim.rx.pop_front();
        device.nowUs = now;
        const bool rateMatches = device.baud == 0 || device.baud == byte.baud;
        const bool heard = !device.silent && (rateMatches || device.options.garbageAtWrongRate);
        record(sim, {byte.dueUs, byte.baud, byte.value, true, heard && rateMatches});
        if (!heard || !rateMatches) ++device.status.bytesLost;
        if (heard) simDeviceHear(device, rateMatches ? byte.value : static_cast<std::uint8_t>(simRandom(device)));
        for (const std::string& note : device.notes) logNote(sim, note.c_str(), now);
        device.notes.clear();
        takeOutput(sim, now);
        saveIfChanged(sim);
        logMode(sim);
    }
}

// Bytes cross the wire when due; the host's adapter hands them on at the
// next tick of its latency timer.
void sendDue(SimSwitch& sim, std::uint64_t now, unsigned host) {
    while (!sim.tx.empty() && sim.tx.front().dueUs <= now) {
        const Timed byte = sim.tx.front();
        sim.tx.pop_front();
        ++sim.device.status.bytesToHost;
        const bool alive = sim.hostOpen && !sim.device.silent;
        const bool heard = alive && byte.baud == host;
        record(sim, {byte.dueUs, byte.baud, byte.value, false, heard});
        const std::uint64_t deliver = nextTickUs(byte.dueUs, sim.device.options.latencyMs);
        if (heard)
            sim.held.push_back({deliver, byte.value});
        else if (alive && sim.device.options.garbageAtWrongRate)
            sim.held.push_back({deliver, static_cast<std::uint8_t>(simRandom(sim.device))});
    }
    std::uint8_t buffer[4096];
    std::size_t count = 0;
    while (!sim.held.empty() && sim.held.front().deliverUs <= now && count < sizeof buffer) {
        buffer[count++] = sim.held.front().value;
        sim.held.pop_front();
    }
    std::size_t written = 0;
    while (written < count) {
        const ssize_t n = write(sim.master, buffer + written, count - written);
        if (n <= 0) break;   // the host reads too slowly (buffer full) or left: the rest is lost
        written += static_cast<std::size_t>(n);
    }
}

// Anything the switch sent that the last host left unread goes, as it would
// with a real port closed by its owner.
void flushSlaveInput(const SimSwitch& sim) {
    const int fd = open(sim.slavePath.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) return;
    tcflush(fd, TCIFLUSH);
    close(fd);
}

void readHost(SimSwitch& sim, std::uint64_t now, unsigned host) {
    std::uint8_t buffer[4096];
    const ssize_t n = read(sim.master, buffer, sizeof buffer);
    if (n <= 0) return;
    const bool paced = sim.device.options.throttle;
    for (ssize_t i = 0; i < n; ++i) {
        std::uint64_t due = now;
        if (paced) {
            due = std::max(sim.rxClockUs, now) + byteTimeUs(host);
            sim.rxClockUs = due;
        }
        sim.rx.push_back({due, host, buffer[i]});
        ++sim.device.status.bytesFromHost;
    }
}

std::uint64_t nextDeadline(const SimSwitch& sim) {
    std::uint64_t deadline = simDeviceNextEventUs(sim.device);
    if (!sim.rx.empty()) deadline = std::min(deadline, std::max(sim.rx.front().dueUs, sim.busyUntilUs));
    if (!sim.tx.empty()) deadline = std::min(deadline, sim.tx.front().dueUs);
    if (!sim.held.empty()) deadline = std::min(deadline, sim.held.front().deliverUs);
    return deadline;
}

void noteHost(SimSwitch& sim, bool open) {
    if (open == sim.hostOpen) return;
    sim.hostOpen = open;
    if (open) {
        ++sim.device.status.hostOpens;
        logNote(sim, "host opened the port", nowUs(sim));
    } else {
        sim.held.clear();
        flushSlaveInput(sim);
        logNote(sim, "host closed the port", nowUs(sim));
    }
}

// One pass: deliver what is due, then wait for the host or the next deadline.
void servePass(SimSwitch& sim) {
    std::uint64_t waitUs = MAX_POLL_US;
    {
        std::lock_guard<std::mutex> lock(sim.mutex);
        const std::uint64_t now = nowUs(sim);
        const unsigned host = hostBaud(sim);
        sim.device.status.hostBaud = host;
        hearDue(sim, now, host);
        sim.device.nowUs = now;
        simDeviceTick(sim.device);
        takeOutput(sim, now);
        sendDue(sim, now, host);
        const std::uint64_t deadline = nextDeadline(sim);
        waitUs = deadline <= now ? 0 : std::min(deadline - now, MAX_POLL_US);
        if (!sim.hostOpen) waitUs = std::min(waitUs, IDLE_POLL_US);
    }
    pollfd fd{sim.master, POLLIN, 0};
    const timespec timeout{0, static_cast<long>(waitUs * 1000)};
    const int ready = ppoll(&fd, 1, &timeout, nullptr);
    bool idle = false;
    {
        std::lock_guard<std::mutex> lock(sim.mutex);
        const bool hangup = ready > 0 && (fd.revents & POLLHUP);
        if (ready > 0 && (fd.revents & POLLIN)) readHost(sim, nowUs(sim), hostBaud(sim));
        noteHost(sim, ready >= 0 && !hangup);
        idle = hangup && !(fd.revents & POLLIN);
    }
    if (idle)   // ppoll returns at once while no host holds the slave open
        std::this_thread::sleep_for(std::chrono::microseconds(waitUs));
}

void serve(SimSwitch* sim) {
    while (!sim->stopping.load()) servePass(*sim);
}

int openPseudoTerminal(SimSwitch& sim, std::string& error) {
    sim.master = posix_openpt(O_RDWR | O_NOCTTY);
    char name[128];
    if (sim.master < 0 || grantpt(sim.master) != 0 || unlockpt(sim.master) != 0 ||
        ptsname_r(sim.master, name, sizeof name) != 0) {
        error = std::string("cannot open a pseudo-terminal: ") + std::strerror(errno);
        return 1;
    }
    fcntl(sim.master, F_SETFD, FD_CLOEXEC);
    fcntl(sim.master, F_SETFL, fcntl(sim.master, F_GETFL) | O_NONBLOCK);
    sim.slavePath = name;
    // Raw from the start, so nothing the switch sends is echoed back by the
    // slave's line discipline before a host has set the port up. Closing it
    // again leaves the master reporting a hang-up until a host opens it.
    const int slave = open(name, O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (slave < 0) {
        error = std::string("cannot open ") + name + ": " + std::strerror(errno);
        return 1;
    }
    termios settings{};
    tcgetattr(slave, &settings);
    cfmakeraw(&settings);
    tcsetattr(slave, TCSANOW, &settings);
    close(slave);
    return 0;
}

int makeLink(const std::string& link, const std::string& target, std::string& error) {
    struct stat info {};
    if (lstat(link.c_str(), &info) == 0) {
        if (!S_ISLNK(info.st_mode)) {
            error = link + " exists and is not a symbolic link";
            return 1;
        }
        unlink(link.c_str());
    }
    if (symlink(target.c_str(), link.c_str()) != 0) {
        error = "cannot make the link " + link + ": " + std::strerror(errno);
        return 1;
    }
    return 0;
}

void removeLink(const std::string& link, const std::string& target) {
    char buffer[256];
    const ssize_t n = readlink(link.c_str(), buffer, sizeof buffer - 1);
    if (n > 0 && target == std::string(buffer, static_cast<std::size_t>(n))) unlink(link.c_str());
}

int loadState(SimDevice& device, std::string& error) {
    const std::string& path = device.options.statePath;
    if (path.empty()) return 0;
    const int loaded = simStateLoad(path, device.memory, device.bootBank);
    if (loaded == 2) {
        error = path + " is not a state file of this simulator";
        return 1;
    }
    if (loaded == 1 && simStateSave(path, device.memory, device.bootBank) != 0) {
        error = "cannot create the state file " + path;
        return 1;
    }
    return 0;
}

void release(SimSwitch* sim) {
    if (sim->log) std::fclose(sim->log);
    if (sim->master >= 0) close(sim->master);
    delete sim;
}

}   // namespace

SimSwitch* simStart(const SimOptions& options, std::string* error) {
    auto* sim = new SimSwitch;
    std::string reason;
    simDeviceInit(sim->device, options);
    bool ok = openPseudoTerminal(*sim, reason) == 0 && loadState(sim->device, reason) == 0;
    if (ok && !options.logPath.empty()) {
        sim->log = std::fopen(options.logPath.c_str(), "w");
        if (!sim->log) {
            reason = "cannot write the log " + options.logPath;
            ok = false;
        } else {
            std::fprintf(sim->log, "# time in s, direction, sender's rate, bytes (LOST: not heard)\n");
        }
    }
    ok = ok && (options.linkPath.empty() || makeLink(options.linkPath, sim->slavePath, reason) == 0);
    if (!ok) {
        if (error) *error = reason;
        release(sim);
        return nullptr;
    }
    simDeviceReset(sim->device);
    sim->loggedMode = sim->device.mode;
    logMode(*sim);
    sim->thread = std::thread(serve, sim);
    return sim;
}

void simStop(SimSwitch* sim) {
    if (!sim) return;
    sim->stopping = true;
    sim->thread.join();
    SimDevice& device = sim->device;
    if (!device.options.statePath.empty()) simStateSave(device.options.statePath, device.memory, device.bootBank);
    if (!device.options.linkPath.empty()) removeLink(device.options.linkPath, sim->slavePath);
    if (sim->log) logFlush(*sim);
    release(sim);
}

const std::string& simSlavePath(const SimSwitch* sim) {
    return sim->slavePath;
}

SimStatus simStatus(SimSwitch* sim) {
    std::lock_guard<std::mutex> lock(sim->mutex);
    SimStatus status = sim->device.status;
    const SimDevice& device = sim->device;
    status.mode = device.mode;
    status.silent = device.silent;
    status.hostOpen = sim->hostOpen;
    status.echo = device.echo;
    status.unlocked = device.unlocked;
    status.switchBaud = device.baud;
    status.bootBank = device.bootBank;
    return status;
}

bool simWaitFor(SimSwitch* sim, const std::function<bool(const SimStatus&)>& done, unsigned timeoutMs) {
    const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    for (;;) {
        if (done(simStatus(sim))) return true;
        if (std::chrono::steady_clock::now() >= until) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
}

int simReadMemory(SimSwitch* sim, std::uint32_t address, void* out, std::size_t count) {
    std::lock_guard<std::mutex> lock(sim->mutex);
    const std::uint8_t* bytes = count > 0xFFFFFFFFu
                                    ? nullptr
                                    : simMap(sim->device.memory, address, static_cast<std::uint32_t>(count));
    if (!bytes) return 1;
    std::memcpy(out, bytes, count);
    return 0;
}

int simWriteMemory(SimSwitch* sim, std::uint32_t address, const void* bytes, std::size_t count) {
    std::lock_guard<std::mutex> lock(sim->mutex);
    std::uint8_t* target = count > 0xFFFFFFFFu ? nullptr
                                               : simMap(sim->device.memory, address, static_cast<std::uint32_t>(count));
    if (!target) return 1;
    std::memcpy(target, bytes, count);
    return 0;
}

void simLoadFlash(SimSwitch* sim, const SimFlashImage& image) {
    std::lock_guard<std::mutex> lock(sim->mutex);
    simInstallFlash(sim->device.memory, sim->device.options.flashConfig, image);
}

void simReset(SimSwitch* sim) {
    std::lock_guard<std::mutex> lock(sim->mutex);
    sim->tx.clear();
    sim->device.out.clear();
    simDeviceReset(sim->device);
    sim->device.nowUs = nowUs(*sim);
    logNote(*sim, "power-on reset", sim->device.nowUs);
    logMode(*sim);
}

void simSetSilent(SimSwitch* sim, bool silent) {
    std::lock_guard<std::mutex> lock(sim->mutex);
    sim->device.silent = silent;
}

void simSetFaults(SimSwitch* sim, const SimFaults& faults) {
    std::lock_guard<std::mutex> lock(sim->mutex);
    simDeviceSetFaults(sim->device, faults);
}

std::vector<SimWireByte> simTraffic(SimSwitch* sim) {
    std::lock_guard<std::mutex> lock(sim->mutex);
    return sim->traffic;
}

static std::vector<std::uint8_t> trafficOneWay(SimSwitch* sim, bool fromHost) {
    std::lock_guard<std::mutex> lock(sim->mutex);
    std::vector<std::uint8_t> bytes;
    for (const SimWireByte& wire : sim->traffic)
        if (wire.fromHost == fromHost) bytes.push_back(wire.value);
    return bytes;
}

std::vector<std::uint8_t> simReceived(SimSwitch* sim) {
    return trafficOneWay(sim, true);
}

std::vector<std::uint8_t> simSent(SimSwitch* sim) {
    return trafficOneWay(sim, false);
}

void simClearTraffic(SimSwitch* sim) {
    std::lock_guard<std::mutex> lock(sim->mutex);
    sim->traffic.clear();
}
