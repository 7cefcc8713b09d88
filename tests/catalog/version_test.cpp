#include <gtest/gtest.h>

#include <sys/wait.h>
#include <unistd.h>

#include <cstring>
#include <string>

#include "catalog/version.h"
#include "support/stdout_capture.h"

namespace {

TEST(FormatVersion, TextAndWidth) {
    const struct {
        std::uint32_t version;
        const char* text;
        int width;
    } cases[] = {
        {0x03040000, "3.04", 4},
        {0x0A010000, "10.01", 5},
        {0x03041000, "3.04a", 5},
        {0x0304F000, "3.04o", 5},
        {0x03040002, "3.04.02(Beta)", 13},
        {0x03042002, "3.04.02b(Beta)", 14},
        {0x0304003F, "3.04.63(Beta)", 13},
        {0x030400C0, "3.04", 4},   // bits 6-11 are not shown
        {0x00000000, "None", 4},
        {0x00000FC0, "0.00", 4},   // not 0 as a whole, so not "None"
        {0xFFFFFFFF, "255.255.63o(Beta)", 17},
        {0x0A640000, "10.100", 6},
        {0x2C010000, "44.01", 5},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << std::hex << c.version);
        EXPECT_STREQ(formatVersion(c.version).text, c.text);
        EXPECT_EQ(versionTextWidth(c.version), c.width);
    }
}

FirmwareImage imageWith(std::uint32_t version, const char* modelName) {
    FirmwareImage header{};
    header.productId = 0x56;
    header.pcbRevision = 3;
    header.version = version;
    std::strncpy(header.modelName, modelName, sizeof header.modelName - 1);
    return header;
}

DeviceIdentity switchWith(std::uint32_t version, const char* modelName) {
    DeviceIdentity identity{};
    identity.productId = 0x56;
    identity.pcbRevision = 3;
    identity.version = version;
    identity.catalogueName = modelName;
    return identity;
}

TEST(ShowVersions, ModelColumnsLineUp) {
    const struct {
        std::uint32_t installed;
        std::uint32_t offered;
        const char* text;
    } cases[] = {
        {0x03030000, 0x03040000,
         "\n Current Version: 3.03, Model: Hall"
         "\n Update Version:  3.04, Model: Sonavex F"},
        {0x0A010000, 0x03040000,
         "\n Current Version: 10.01, Model: Hall"
         "\n Update Version:  3.04,  Model: Sonavex F"},
        {0x03040002, 0x03040000,
         "\n Current Version: 3.04.02(Beta), Model: Hall"
         "\n Update Version:  3.04,          Model: Sonavex F"},
        {0x03041000, 0x0304003F,
         "\n Current Version: 3.04a,         Model: Hall"
         "\n Update Version:  3.04.63(Beta), Model: Sonavex F"},
        {0, 0x0A012000,
         "\n Current Version: None,   Model: Hall"
         "\n Update Version:  10.01b, Model: Sonavex F"},
        {0x64010000, 0x03040000,
         "\n Current Version: 100.01, Model: Hall"
         "\n Update Version:  3.04,   Model: Sonavex F"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.text);
        DeviceIdentity identity = switchWith(c.installed, "Hall");
        FirmwareImage header = imageWith(c.offered, "Sonavex F");
        StdoutCapture capture;
        showVersions(&identity, &header);
        EXPECT_EQ(capture.text(), c.text);
    }
}

struct Answer {
    int result;
    std::string output;
};

// Runs confirmVersion in a child whose standard input is `keys`, so the
// keyboard reads exactly those bytes and then meets end of input.
Answer confirmWithKeys(std::uint32_t installed, std::uint32_t offered, const std::string& keys) {
    DeviceIdentity identity = switchWith(installed, "Hall");
    FirmwareImage header = imageWith(offered, "Sonavex F");
    ImageCursor cursor{reinterpret_cast<const std::uint8_t*>(&header), &header, nullptr, nullptr};
    int pipeFds[2];
    if (pipe(pipeFds) != 0) return {-1, "pipe failed"};
    StdoutCapture capture;
    pid_t child = fork();
    if (child == 0) {
        close(pipeFds[1]);
        dup2(pipeFds[0], 0);
        int result = confirmVersion(&identity, &cursor, 0);
        std::fflush(stdout);
        _exit(result);
    }
    close(pipeFds[0]);
    bool written = write(pipeFds[1], keys.data(), keys.size()) == static_cast<ssize_t>(keys.size());
    close(pipeFds[1]);
    int status = 0;
    if (child < 0 || waitpid(child, &status, 0) != child || !written) return {-1, capture.text()};
    return {WIFEXITED(status) ? WEXITSTATUS(status) : -1, capture.text()};
}

const std::string NEWER_LINES =
    "\n\nThis update is newer than the firmware inside the Hall.\n"
    "\n Current Version: 3.03, Model: Hall"
    "\n Update Version:  3.04, Model: Sonavex F"
    "\n\nContinue with update to newer version? (Y,N) ";
const std::string SAME_LINES =
    "\nThe firmware version inside the Hall matches this update.\n"
    "\n Current Version: 3.04, Model: Hall"
    "\n Update Version:  3.04, Model: Sonavex F"
    "\n\nUpdate anyway? (Y,N) ";
const std::string OLDER_LINES =
    "\n\nThis update is OLDER than the firmware inside the Hall!\n"
    "\n Current Version: 10.01, Model: Hall"
    "\n Update Version:  3.04,  Model: Sonavex F"
    "\n\nAre you sure you want to update with an OLDER version of firmware? (Y,N) ";
const std::string CANCELED = "\nUpdate canceled.\n\n";

TEST(ConfirmVersion, QuestionsAndAnswers) {
    const struct {
        const char* name;
        std::uint32_t installed;
        std::uint32_t offered;
        std::string keys;
        int result;
        std::string output;
    } cases[] = {
        {"newer, yes", 0x03030000, 0x03040000, "Y", 1, NEWER_LINES + "Y\n"},
        {"newer, lower-case no", 0x03030000, 0x03040000, "n", 0, NEWER_LINES + "N\n" + CANCELED},
        {"same, other keys ignored", 0x03040000, 0x03040000, "\r\nq 1y", 1, SAME_LINES + "Y\n"},
        {"older, no", 0x0A010000, 0x03040000, "N", 0, OLDER_LINES + "N\n" + CANCELED},
        {"function key answering yes", 0x03030000, 0x03040000, std::string("\0Y", 2), 1, NEWER_LINES + "Y\n"},
        {"extended key answering no", 0x03030000, 0x03040000, "\xE0N", 0, NEWER_LINES + "N\n" + CANCELED},
        {"end of input", 0x03030000, 0x03040000, "x", 0, NEWER_LINES + "N\n" + CANCELED},
        {"no input at all", 0x03030000, 0x03040000, "", 0, NEWER_LINES + "N\n" + CANCELED},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        Answer answer = confirmWithKeys(c.installed, c.offered, c.keys);
        EXPECT_EQ(answer.result, c.result);
        EXPECT_EQ(answer.output, c.output);
    }
}

}   // namespace
