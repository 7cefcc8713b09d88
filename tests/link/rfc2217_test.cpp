// The network port against a scripted server on the loopback: the bytes of
// the negotiation, the rate change, 255 doubled both ways, and servers that
// misbehave, each of which must end in an error within the port's bounds.
#include <gtest/gtest.h>

#include <atomic>
#include <mutex>
#include <string>
#include <thread>

#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include "link/net_lookup.h"
#include "link/serial.h"

namespace {

using Bytes = std::string;
constexpr char IAC = '\xff';

enum RateAnswer { RATE_SAME, RATE_OTHER, RATE_NONE };

struct Behaviour {
    Bytes greeting;   // sent as soon as the client connects
    bool acceptComPort = true;
    bool hangUpAtOffer = false;   // closes on the client's com-port offer
    RateAnswer rate = RATE_SAME;
    int misbehavingFromRate = 1;   // the rate change (1 the open's) from which `rate` applies
    bool answerDtr = true;
    Bytes beforeRateAnswer;   // data sent just before a rate's confirmation
    Bytes afterComPort;       // sent once the com-port option is agreed
    bool flood = false;       // line-state notifications without end
    bool echo = true;         // data comes back, 255 doubled again
};

Bytes comPort(const Bytes& body) {
    return Bytes("\xff\xfa\x2c", 3) + body + Bytes("\xff\xf0", 2);
}

// One connection on 127.0.0.1, served by a thread from the behaviour's script.
class ScriptedServer {
  public:
    explicit ScriptedServer(Behaviour behaviour) : behaviour_(std::move(behaviour)) {
        listener_ = socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t length = sizeof address;
        EXPECT_EQ(bind(listener_, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
        EXPECT_EQ(listen(listener_, 1), 0);
        getsockname(listener_, reinterpret_cast<sockaddr*>(&address), &length);
        url_ = "rfc2217://127.0.0.1:" + std::to_string(ntohs(address.sin_port));
        thread_ = std::thread([this] { serve(); });
    }
    ~ScriptedServer() {
        stop_ = true;
        thread_.join();
        close(listener_);
    }
    const std::string& url() const { return url_; }
    // What the client sent, as sent, once `wanted` is among it (or after 2 s).
    Bytes rawWith(const Bytes& wanted) {
        for (int turn = 0;; ++turn) {
            {
                const std::lock_guard<std::mutex> hold(rawLock_);
                if (raw_.find(wanted) != Bytes::npos || turn == 200) return raw_;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
    }

  private:
    void send(const Bytes& bytes) {
        if (connection_ >= 0) (void)::send(connection_, bytes.data(), bytes.size(), MSG_NOSIGNAL);
    }
    void hangUp() {
        close(connection_);
        connection_ = -1;
    }
    void takeCommand(const Bytes& command) {
        if (command == "\xff\xfb\x2c" && behaviour_.hangUpAtOffer) return hangUp();
        if (command == "\xff\xfb\x2c") {
            send(behaviour_.acceptComPort ? "\xff\xfd\x2c" : "\xff\xfe\x2c");
            if (behaviour_.acceptComPort) send(behaviour_.afterComPort);
        }
        if (command.size() == 10 && command.compare(0, 4, "\xff\xfa\x2c\x01") == 0) {
            Bytes rate = command.substr(4, 4);
            const RateAnswer answer = ++rates_ >= behaviour_.misbehavingFromRate ? behaviour_.rate : RATE_SAME;
            if (answer == RATE_OTHER) rate[3] = static_cast<char>(rate[3] + 1);
            send(behaviour_.beforeRateAnswer);
            if (answer != RATE_NONE) send(comPort("\x65" + rate));
        }
        if (command.size() == 7 && command.compare(0, 4, Bytes("\xff\xfa\x2c\x05", 4)) == 0 && behaviour_.answerDtr)
            send(comPort("\x69" + command.substr(4, 1)));
    }
    // Splits what the client sends into data (echoed) and telnet commands.
    void take(char byte) {
        {
            const std::lock_guard<std::mutex> hold(rawLock_);
            raw_ += byte;
        }
        pending_ += byte;
        const bool sub = pending_.size() > 1 && pending_[1] == '\xfa';
        if (pending_ == Bytes(1, IAC) || (sub && pending_.compare(pending_.size() - 2, 2, "\xff\xf0") != 0) ||
            (pending_.size() == 2 && pending_[1] != IAC))
            return;
        if (pending_.size() > 1 && pending_[1] != IAC)
            takeCommand(pending_);
        else if (behaviour_.echo)
            send(pending_[0] == IAC ? Bytes(2, IAC) : pending_);
        pending_.clear();
    }
    void serve() {
        pollfd waiting = {listener_, POLLIN, 0};
        while (!stop_ && poll(&waiting, 1, 20) == 0) {
        }
        if (stop_) return;
        connection_ = accept(listener_, nullptr, nullptr);
        const int on = 1;
        setsockopt(connection_, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
        send(behaviour_.greeting);
        if (behaviour_.greeting.find("in use") != Bytes::npos) hangUp();
        while (!stop_ && connection_ >= 0) {
            if (behaviour_.flood) send(comPort(Bytes("\x6a\x60", 2)) + comPort(Bytes("\x6b\x30", 2)));
            pollfd entry = {connection_, POLLIN, 0};
            if (poll(&entry, 1, behaviour_.flood ? 0 : 20) <= 0) continue;
            char buffer[512];
            const ssize_t got = recv(connection_, buffer, sizeof buffer, 0);
            if (got <= 0) break;
            for (ssize_t at = 0; at < got; ++at) take(buffer[at]);
        }
        if (connection_ >= 0) hangUp();
    }

    Behaviour behaviour_;
    int listener_ = -1;
    int connection_ = -1;
    std::string url_;
    std::mutex rawLock_;
    Bytes raw_, pending_;
    int rates_ = 0;
    std::thread thread_;
    std::atomic<bool> stop_{false};
};

class NetworkPortTest : public ::testing::Test {
  protected:
    void TearDown() override { comClose(&port); }
    Bytes read(std::int32_t count) {
        Bytes got(static_cast<std::size_t>(count), '\0');
        got.resize(static_cast<std::size_t>(comRead(&port, got.data(), count)));
        return got;
    }
    SerialPort port{};
};

TEST_F(NetworkPortTest, NegotiatesBinaryComPortAndTheLineSettingsByteForByte) {
    ScriptedServer server({});
    ASSERT_EQ(comOpenDevice(&port, server.url().c_str(), 19200), 1);
    EXPECT_EQ(port.baud, 19200u);
    const Bytes expected = Bytes("\xff\xfb\x00\xff\xfd\x00\xff\xfb\x03\xff\xfd\x03\xff\xfb\x2c", 15) +
                           comPort(Bytes("\x02\x08", 2)) + comPort(Bytes("\x03\x01", 2)) +
                           comPort(Bytes("\x04\x01", 2)) + comPort(Bytes("\x05\x01", 2)) +
                           comPort(Bytes("\x01\x00\x00\x4b\x00", 5)) + comPort(Bytes("\x05\x09", 2));
    EXPECT_EQ(server.rawWith(expected), expected);
}

TEST_F(NetworkPortTest, DoublesEveryByte255BothWays) {
    ScriptedServer server({});
    ASSERT_EQ(comOpenDevice(&port, server.url().c_str(), 19200), 1);
    const Bytes data(
        "a\xff\xff"
        "b\xff",
        5);
    ASSERT_EQ(comWrite(&port, data.data(), 5), 5);
    EXPECT_EQ(read(5), data);
    const Bytes doubled(
        "a\xff\xff\xff\xff"
        "b\xff\xff",
        8);
    EXPECT_NE(server.rawWith(doubled).find(doubled), Bytes::npos);
}

TEST_F(NetworkPortTest, ARateChangeDropsWhatCameBeforeItsConfirmation) {
    Behaviour behaviour;
    behaviour.beforeRateAnswer = "stale";
    ScriptedServer server(behaviour);
    ASSERT_EQ(comOpenDevice(&port, server.url().c_str(), 19200), 1);
    ASSERT_EQ(comSetBaud(&port, 115200), 1);
    EXPECT_EQ(port.baud, 115200u);
    ASSERT_EQ(comSendString(&port, "fresh"), 5);
    EXPECT_EQ(read(16), "fresh");
    const Bytes rateCommand = comPort(Bytes("\x01\x00\x01\xc2\x00", 5));
    EXPECT_NE(server.rawWith(rateCommand).find(rateCommand), Bytes::npos);
}

TEST_F(NetworkPortTest, NotificationsWithoutEndLeaveTheDataWhole) {
    Behaviour behaviour;
    behaviour.flood = true;
    ScriptedServer server(behaviour);
    ASSERT_EQ(comOpenDevice(&port, server.url().c_str(), 19200), 1);
    ASSERT_EQ(comSendString(&port, "through the storm"), 17);
    Bytes got;
    for (int turn = 0; turn < 20 && got.size() < 17; ++turn) got += read(17 - static_cast<std::int32_t>(got.size()));
    EXPECT_EQ(got, "through the storm");
}

TEST_F(NetworkPortTest, AServerDroppedInAPassFailsEveryTransferAtOnce) {
    Behaviour behaviour;
    behaviour.echo = false;
    auto server = std::make_unique<ScriptedServer>(behaviour);
    ASSERT_EQ(comOpenDevice(&port, server->url().c_str(), 19200), 1);
    server.reset();
    EXPECT_EQ(read(4), "");
    EXPECT_EQ(comWaitInput(&port, 1000), PORT_LOST);
    EXPECT_EQ(comSendString(&port, "more"), 0);
}

struct OpenCase {
    const char* name;
    Behaviour behaviour;
    int failure;
};

TEST_F(NetworkPortTest, ServersThatMisbehaveFailTheOpenWithItsReason) {
    Behaviour refuses, hangsUp, noRate, otherRate, busy, unendedSub, silentDtr;
    refuses.acceptComPort = false;
    hangsUp.hangUpAtOffer = true;
    noRate.rate = RATE_NONE;
    otherRate.rate = RATE_OTHER;
    busy.greeting = "Port already in use\r\n";
    unendedSub.afterComPort = Bytes("\xff\xfa\x2c\x6a", 4) + Bytes(300, 'x');
    silentDtr.answerDtr = false;
    const OpenCase cases[] = {
        {"refuses the com-port option", refuses, PORT_OPEN_NOT_RFC2217},
        {"hangs up during the negotiation", hangsUp, PORT_OPEN_FAILED},
        {"never confirms the rate", noRate, PORT_OPEN_FAILED},
        {"confirms another rate", otherRate, PORT_OPEN_FAILED},
        {"is in use", busy, PORT_OPEN_BUSY},
        {"leaves a long subnegotiation for the next command to end", unendedSub, PORT_OPEN_OK},
        {"does not answer the DTR setting", silentDtr, PORT_OPEN_OK},
    };
    for (const OpenCase& test : cases) {
        SCOPED_TRACE(test.name);
        ScriptedServer server(test.behaviour);
        EXPECT_EQ(comOpenDevice(&port, server.url().c_str(), 19200), test.failure == PORT_OPEN_OK ? 1 : 0);
        EXPECT_EQ(port.openFailure, test.failure);
        if (test.failure == PORT_OPEN_OK) {
            EXPECT_EQ(port.dtrUnanswered, test.behaviour.answerDtr ? 0 : 1);
        }
        comClose(&port);
    }
}

TEST_F(NetworkPortTest, ARateChangeNotConfirmedEndsTheUseOfThePort) {
    for (RateAnswer answer : {RATE_NONE, RATE_OTHER}) {
        Behaviour behaviour;
        behaviour.rate = answer;
        behaviour.misbehavingFromRate = 2;
        ScriptedServer server(behaviour);
        ASSERT_EQ(comOpenDevice(&port, server.url().c_str(), 19200), 1);
        EXPECT_EQ(comSetBaud(&port, 115200), 0);
        EXPECT_EQ(port.isOpen, 0);
        EXPECT_EQ(comSendString(&port, "more"), 0);
        const Bytes rateCommand = comPort(Bytes("\x01\x00\x01\xc2\x00", 5));
        const Bytes sent = server.rawWith(rateCommand);
        EXPECT_EQ(sent.substr(sent.size() - rateCommand.size()), rateCommand);   // nothing after it
    }
}

TEST_F(NetworkPortTest, NobodyListeningIsARefusedConnection) {
    std::string url;
    {
        ScriptedServer gone({});
        url = gone.url();
    }
    EXPECT_EQ(comOpenDevice(&port, url.c_str(), 19200), 0);
    EXPECT_EQ(port.openFailure, PORT_OPEN_REFUSED);
}

// A resolver that never answers must not hold the open past its deadline;
// its late answer is freed by the lookup's own thread.
std::atomic<bool> resolverMayAnswer{false};
std::atomic<int> released{0};
int slowResolver(const char*, const char*, void** found) {
    while (!resolverMayAnswer) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    *found = &released;
    return 0;
}
char quickAnswer[] = "addresses";
int quickResolver(const char* host, const char*, void** found) {
    *found = quickAnswer;
    return host[0] == '?' ? 8 : 0;
}
void countRelease(void*) {
    ++released;
}

TEST(NameLookup, GivesUpAtItsDeadlineAndFreesALateAnswer) {
    void* found = nullptr;
    EXPECT_EQ(lookupWithin({slowResolver, countRelease}, "slow.example", "7001", 50, &found), LOOKUP_TIMED_OUT);
    EXPECT_EQ(found, nullptr);
    resolverMayAnswer = true;
    for (int wait = 0; wait < 5000 && released == 0; ++wait) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    EXPECT_EQ(released, 1);
    EXPECT_EQ(lookupWithin({quickResolver, countRelease}, "host", "7001", 5000, &found), 0);
    EXPECT_EQ(found, quickAnswer);
    EXPECT_EQ(lookupWithin({quickResolver, countRelease}, "?", "7001", 5000, &found), 8);
    EXPECT_EQ(released, 1);
}

}   // namespace
