// Switches behind a real network serial server: ser2net in front of the
// simulated switch's pseudo-terminal, on a free port of the loopback.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <fstream>
#include <sstream>
#include <thread>

#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include "app/program_run.h"
#include "app/switch_fixture.h"
#include "app/transcript.h"
#include "app/update_expectations.h"

namespace {

constexpr char SER2NET[] = "/usr/sbin/ser2net";

unsigned freeLoopbackPort() {
    const int probe = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    bind(probe, reinterpret_cast<sockaddr*>(&address), sizeof address);
    getsockname(probe, reinterpret_cast<sockaddr*>(&address), &length);
    close(probe);
    return ntohs(address.sin_port);
}

// Whether something listens on the loopback at `port` (/proc/net/tcp, state 0A).
bool listening(unsigned port) {
    std::ifstream table("/proc/net/tcp");
    char wanted[32];
    std::snprintf(wanted, sizeof wanted, "0100007F:%04X", port);
    for (std::string line; std::getline(table, line);) {
        std::istringstream fields(line);
        std::string slot, local, remote, state;
        fields >> slot >> local >> remote >> state;
        if (local == wanted && state == "0A") return true;
    }
    return false;
}

// ser2net serving one switch, in RFC 2217 mode (or raw TCP), one client at a time.
class Ser2net {
  public:
    Ser2net(const TempDir& dir, SimSwitch* sim, bool rfc2217 = true) : port_(freeLoopbackPort()) {
        config_ = dir.path() + "/ser2net-" + std::to_string(port_) + ".yaml";
        std::ofstream(config_) << "connection: &switch\n  accepter: "
                               << (rfc2217 ? "telnet(rfc2217),tcp(nodelay)" : "tcp") << ",127.0.0.1," << port_
                               << "\n  connector: serialdev," << simSlavePath(sim)
                               << ",19200n81,local\n  options:\n    max-connections: 1\n";
        start();
    }
    ~Ser2net() { stop(); }
    void start() {
        pid_ = fork();
        if (pid_ == 0) {
            const int quiet = open("/dev/null", O_WRONLY);
            dup2(quiet, 1);
            dup2(quiet, 2);
            execl(SER2NET, SER2NET, "-n", "-d", "-c", config_.c_str(), static_cast<char*>(nullptr));
            _exit(127);
        }
        for (int turn = 0; turn < 500 && !listening(port_); ++turn)
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        if (!listening(port_)) throw std::runtime_error("ser2net did not start");
    }
    void stop() {
        if (pid_ <= 0) return;
        kill(pid_, SIGKILL);
        waitpid(pid_, nullptr, 0);
        pid_ = -1;
    }
    unsigned port() const { return port_; }
    std::string url() const { return "rfc2217://127.0.0.1:" + std::to_string(port_); }

  private:
    unsigned port_;
    std::string config_;
    pid_t pid_ = -1;
};

class NetworkSwitch : public testing::Test {
  protected:
    void SetUp() override {
        if (access(SER2NET, X_OK) != 0) GTEST_SKIP() << "needs ser2net (tools/install-deps.sh)";
    }
    TempDir ports;
};

std::string infoLine(const std::string& port, const std::string& update) {
    return "\n" + port + ": Sonavex F\n   version 3.03, product id 0x56, PCB revision 3; image 3.04: " + update + "\n";
}

TEST_F(NetworkSwitch, IsUpdatedThroughTheServerAtTheRatesItSets) {
    SwitchHandle sim = startSwitch(imageOneSwitch(), ports, 3);
    Ser2net server(ports, sim.get());
    const ProgramRun run = runProgram({"--yes", server.url()}, ports.path(), {});
    EXPECT_EQ(run.output, START + "\n" + server.url() + ": An Sonavex F was found with firmware version: 3.03\n" +
                              askNewer("Sonavex F", "3.03") + "Y\n" + programmingProgress(0) + dspProgress(2) + "\n");
    EXPECT_EQ(run.status, 0);
    EXPECT_TRUE(flashHoldsImage(sim.get(), 0));
}

TEST_F(NetworkSwitch, InfoNamesThePortAsGiven) {
    SwitchHandle sim = startSwitch(imageOneSwitch(), ports, 3);
    Ser2net server(ports, sim.get());
    const std::string given = "RFC2217://localhost:" + std::to_string(server.port());
    const ProgramRun run = runProgram({"--info", given}, ports.path(), {});
    EXPECT_EQ(run.output, START + infoLine(given, "newer"));
    EXPECT_EQ(run.status, 0);
}

std::string summaryOf(const std::string& output) {
    const std::size_t at = output.find("\nSummary:\n");
    return at == std::string::npos ? output : output.substr(at);
}

TEST_F(NetworkSwitch, AllUpdatesNetworkAndLocalPortsAtOnce) {
    SwitchHandle local = startSwitch(imageOneSwitch(), ports, 2);
    SwitchHandle remote = startSwitch(imageTwoSwitch(), ports, 5);
    Ser2net server(ports, remote.get());
    const ProgramRun run = runProgram({"--all", "--yes", "2", server.url()}, ports.path(), {});
    EXPECT_EQ(summaryOf(run.output), "\nSummary:\nCOM2: updated to 3.04\n" + server.url() + ": updated to 3.04\n")
        << run.output;
    EXPECT_EQ(run.status, 0);
    EXPECT_TRUE(flashHoldsImage(local.get(), 0));
    EXPECT_TRUE(flashHoldsImage(remote.get(), 1));
}

// The server gone in the middle of a pass is a pulled cable: the pass fails
// at once, and a run once the server is back finishes the update.
TEST_F(NetworkSwitch, AServerStoppedInAPassFailsItAndARerunFinishes) {
    SwitchHandle sim = startSwitch(imageOneSwitch(), ports, 3);
    Ser2net server(ports, sim.get());
    const ProgramRun cut = runProgram({"--yes", server.url()}, ports.path(),
                                      {{"Updating firmware:  1", "", false, false, [&] { server.stop(); }}});
    EXPECT_NE(cut.output.find("\n\nError 1: Lost the connection to the switch! Check cables and power.\n"),
              std::string::npos)
        << cut.output;
    EXPECT_EQ(cut.status, 1);
    server.start();
    const ProgramRun rerun = runProgram({"--yes", server.url()}, ports.path(), {});
    EXPECT_EQ(rerun.status, 0) << rerun.output;
    EXPECT_TRUE(flashHoldsImage(sim.get(), 0));
}

// After the restart the flash is right; a server gone while the switch
// updates its DSPs is told as a lost line, not waited out as a completion.
TEST_F(NetworkSwitch, AServerStoppedDuringTheDspUpdateIsToldAtOnce) {
    SimOptions options = imageOneSwitch();
    options.dspIntervalMs = 3000;
    SwitchHandle sim = startSwitch(options, ports, 3);
    Ser2net server(ports, sim.get());
    const ProgramRun run = runProgram({"--yes", server.url()}, ports.path(),
                                      {{"Bank = 1", "", false, false, [&] { server.stop(); }}});
    const std::string lost = "Updating DSPs: Bank = 1, Complete =  16%\nLost the connection to the switch during its "
                             "DSP update.\nThe firmware is installed; power cycle the switch once its DSP update has "
                             "finished.\n";
    EXPECT_NE(run.output.find(lost), std::string::npos) << run.output;
    EXPECT_EQ(run.status, 0);
    EXPECT_TRUE(flashHoldsImage(sim.get(), 0));
}

// A second client while another holds the line (ser2net takes one), and a
// port the server offers as plain TCP: each says why it could not be opened.
TEST_F(NetworkSwitch, ABusyServerAndAPlainTcpPortAreRefusedWithTheirReasons) {
    SwitchHandle first = startSwitch(imageOneSwitch(), ports, 3);
    SwitchHandle second = startSwitch(imageOneSwitch(), ports, 4);
    Ser2net busy(ports, first.get());
    Ser2net plain(ports, second.get(), false);
    const int holder = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(static_cast<std::uint16_t>(busy.port()));
    ASSERT_EQ(connect(holder, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    const std::string plainUrl = "rfc2217://127.0.0.1:" + std::to_string(plain.port());
    const ProgramRun run = runProgram({"--info", "--yes", busy.url()}, ports.path(), {});
    const ProgramRun raw = runProgram({"--info", plainUrl}, ports.path(), {});
    close(holder);
    EXPECT_EQ(run.output, START + "\n" + busy.url() + ": Could not open port.\nThe port is in use by another program." +
                              NONE_FOUND);
    EXPECT_EQ(raw.output, START + "\n" + plainUrl +
                              ": Could not open port.\nThe server does not accept serial settings (RFC 2217)." +
                              NONE_FOUND);
    EXPECT_EQ(simStatus(second.get()).flashChanges, 0u);
}

}   // namespace
