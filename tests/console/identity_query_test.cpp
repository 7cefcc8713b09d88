// queryVersion against a switch played by the test on the master side of a
// pseudo-terminal, so the real port code carries every byte.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include "console/identity_query.h"
#include "link/serial.h"

namespace {

SwitchLink switchLink;   // the link every case queries over

constexpr unsigned PEER_PORT = 7;
constexpr int REQUEST_WAIT_MS = 3000;

enum class Peer { Answers, Silent, Chatters, AnswersEach };

class FakeSwitch {
  public:
    FakeSwitch() {
        master_ = posix_openpt(O_RDWR | O_NOCTTY);
        if (master_ < 0 || grantpt(master_) != 0 || unlockpt(master_) != 0) return;
        char dirTemplate[] = "/tmp/bmfwu-console-XXXXXX";
        if (mkdtemp(dirTemplate) == nullptr) return;
        dir_ = dirTemplate;
        link_ = dir_ + "/COM" + std::to_string(PEER_PORT);
        if (symlink(ptsname(master_), link_.c_str()) != 0) return;
        setenv("BMFWU_PORT_DIR", dir_.c_str(), 1);
        ready_ = comOpen(&switchLink.port, PEER_PORT, 19200) == 1;
    }
    ~FakeSwitch() {
        stop_ = true;
        if (thread_.joinable()) thread_.join();
        comClose(&switchLink.port);
        if (!link_.empty()) unlink(link_.c_str());
        if (!dir_.empty()) rmdir(dir_.c_str());
        if (master_ >= 0) close(master_);
    }
    FakeSwitch(const FakeSwitch&) = delete;
    FakeSwitch& operator=(const FakeSwitch&) = delete;

    bool ready() const { return ready_; }

    // Once "^V$" has arrived the peer sends `answer`; Chatters then repeats
    // it until the test ends.
    void start(Peer behaviour, std::string answer) {
        thread_ = std::thread([this, behaviour, answer] { run(behaviour, answer); });
    }

    // The nth "^V$" is answered with the nth of `answers`.
    void answerEach(std::vector<std::string> answers) {
        thread_ = std::thread([this, answers] {
            for (std::size_t n = 0; n < answers.size() && awaitRequest(n + 1); ++n)
                if (write(master_, answers[n].data(), answers[n].size()) < 0) return;
        });
    }

    // Everything the program sent, once the peer is done.
    std::string received() {
        if (thread_.joinable()) thread_.join();
        return received_;
    }

  private:
    void run(Peer behaviour, const std::string& answer) {
        if (!awaitRequest() || behaviour == Peer::Silent) return;
        do {
            if (write(master_, answer.data(), answer.size()) != static_cast<ssize_t>(answer.size())) return;
            if (behaviour == Peer::Chatters) usleep(5000);
        } while (behaviour == Peer::Chatters && !stop_);
    }

    static std::size_t requestsIn(const std::string& text) {
        std::size_t count = 0;
        for (std::size_t at = text.find("^V$"); at != std::string::npos; at = text.find("^V$", at + 1)) ++count;
        return count;
    }

    bool awaitRequest(std::size_t requests = 1) {
        pollfd fd{master_, POLLIN, 0};
        while (requestsIn(received_) < requests) {
            if (poll(&fd, 1, REQUEST_WAIT_MS) != 1) return false;
            char bytes[64];
            ssize_t count = read(master_, bytes, sizeof bytes);
            if (count <= 0) return false;
            received_.append(bytes, static_cast<std::size_t>(count));
        }
        return true;
    }

    int master_ = -1;
    std::string dir_;
    std::string link_;
    bool ready_ = false;
    std::atomic<bool> stop_{false};
    std::thread thread_;
    std::string received_;
};

std::string keepAlives(int count) {
    std::string text;
    for (int i = 0; i < count; ++i) text += "^+$";
    return text;
}

DeviceIdentity staleIdentity() {
    DeviceIdentity identity{};
    identity.productId = 0x64;
    identity.pcbRevision = 2;
    identity.version = 0x09090000;
    identity.catalogueName = "stale";
    std::snprintf(identity.nameText, sizeof identity.nameText, "stale");
    return identity;
}

struct QueryCase {
    const char* name;
    Peer peer;
    std::string answer;
    int result;
    std::uint32_t version;
    const char* nameText;
};

const QueryCase QUERY_CASES[] = {
    {"plain reply", Peer::Answers, "^=V \"Hall 3\" 3.04,86,3,0$", 0, 0x03040000, "Hall 3"},
    {"reply split by line breaks", Peer::Answers, "\r\n^=V \"Hall 3\" 3.0\r\n4$", 0, 0x03040000, "Hall 3"},
    {"keep-alives first", Peer::Answers, keepAlives(3) + "^=V \"Hall 3\" 3.04$", 0, 0x03040000, "Hall 3"},
    {"as many keep-alives as allowed", Peer::Answers, keepAlives(VERSION_KEEPALIVE_LIMIT) + "^=V \"Hall 3\" 3.04$", 0,
     0x03040000, "Hall 3"},
    {"one keep-alive too many", Peer::Answers, keepAlives(VERSION_KEEPALIVE_LIMIT + 1) + "^=V \"Hall 3\" 3.04$", 1, 0,
     ""},
    {"chattering switch", Peer::Chatters, "^+$", 1, 0, ""},
    {"keep-alive with more text", Peer::Answers, "^+x$^=V \"Hall 3\" 3.04$", 1, 0, ""},
    {"another reply first", Peer::Answers, "^=P$^=V \"Hall 3\" 3.04$", 1, 0, ""},
    {"reply without its end", Peer::Answers, "^=V \"Hall 3\" 3.04", 1, 0, ""},
    {"silence", Peer::Silent, "", 1, 0, ""},
};

TEST(QueryVersion, AgainstAFakeSwitch) {
    for (const QueryCase& c : QUERY_CASES) {
        SCOPED_TRACE(c.name);
        FakeSwitch peer;
        ASSERT_TRUE(peer.ready());
        peer.start(c.peer, c.answer);
        DeviceIdentity identity = staleIdentity();
        EXPECT_EQ(queryVersion(switchLink, &identity), c.result);
        EXPECT_EQ(identity.version, c.version);
        EXPECT_STREQ(identity.nameText, c.nameText);
        if (c.result == 0) {
            EXPECT_TRUE(identity.ownName);
        } else {
            EXPECT_STREQ(modelNameOf(identity), "stale");
        }
        if (c.peer != Peer::Chatters) {
            EXPECT_EQ(peer.received(), "^V$");
        }
    }
}

// A reply damaged on its way back is neither shown nor acted on: the version
// is asked for until two replies agree.
TEST(QueryVersion, AgreedOnlyByTwoReplies) {
    const std::string good = "^=V \"Hall 3\" 3.03,86,3,0$";
    struct Case {
        const char* name;
        std::vector<std::string> answers;
        int result;
        std::uint32_t version;
        const char* nameText;
        std::size_t requests;
    };
    const Case cases[] = {
        {"clean line", {good, good}, 0, 0x03030000, "Hall 3", 2},
        {"first reply damaged", {"^=V \"Hall 3\" 3.04,86,3,0$", good, good}, 0, 0x03030000, "Hall 3", 3},
        {"second reply damaged", {good, "^=V \"Hakl 3\" 3.03,86,3,0$", good}, 0, 0x03030000, "Hall 3", 3},
        {"no two agree", {good, "^=V \"Hall 3\" 3.04,86,3,0$", "^=V \"Hall 3\" 3.05,86,3,0$"}, 4, 0, "", 3},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        FakeSwitch peer;
        ASSERT_TRUE(peer.ready());
        peer.answerEach(c.answers);
        DeviceIdentity identity = staleIdentity();
        EXPECT_EQ(queryVersionAgreed(switchLink, &identity), c.result);
        EXPECT_EQ(identity.version, c.version);
        EXPECT_STREQ(identity.nameText, c.nameText);
        std::string requests;
        for (std::size_t i = 0; i < c.requests; ++i) requests += "^V$";
        EXPECT_EQ(peer.received(), requests);
    }
}

TEST(QueryVersion, ClosedPortFailsAtOnce) {
    comClose(&switchLink.port);
    DeviceIdentity identity = staleIdentity();
    EXPECT_EQ(queryVersion(switchLink, &identity), 1);
    EXPECT_EQ(identity.productId, 0);
    EXPECT_EQ(identity.version, 0u);
    EXPECT_STREQ(identity.nameText, "");
}

}   // namespace
