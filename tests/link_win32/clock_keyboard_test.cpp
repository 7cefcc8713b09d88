// The Windows time base and the keyboard read from redirected input.
#include <gtest/gtest.h>
#include <windows.h>

#include <string>

#include "link/clock.h"
#include "link/keyboard.h"

namespace {

TEST(Clock, ElapsedIsAnUnsignedDifferenceThatSurvivesTheWrap) {
    // The clock starts near 0 with the process, so a start 100 s back lies
    // just below 2^32 and the difference has to wrap to come out right.
    std::uint32_t now = msNow();
    ASSERT_LT(now, 100000u);
    struct Case {
        std::uint32_t start;
        std::uint32_t duration;
        int elapsed;
    } cases[] = {
        {now - 100000u, 99000u, 1},
        {now - 100000u, 200000u, 0},
        {now + 1000u, 1000u, 1},   // a start "in the future" is far in the past
        {now - 1000u, 3600000u, 0},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(msElapsed(c.start, c.duration), c.elapsed) << "start " << c.start << " duration " << c.duration;
    }
}

TEST(Clock, ZeroDurationHasElapsedOnceTheTickChanged) {
    std::uint32_t start = msNow();
    while (msNow() == start) {
    }
    EXPECT_EQ(msElapsed(start, 0), 1);
}

TEST(Clock, DelayNeverReturnsEarly) {
    for (std::uint32_t duration : {0u, 1u, 10u, 100u}) {
        std::uint32_t start = msNow();
        msDelay(duration);
        EXPECT_EQ(msElapsed(start, duration), 1) << duration << " ms";
    }
}

TEST(Clock, CountsWallTimeWhileTheProcessSleeps) {
    // A processor-time clock would stand still here.
    std::uint32_t start = msNow();
    msSleep(300);
    EXPECT_EQ(msElapsed(start, 250), 1);
}

// Standard input replaced by a pipe or a file for one test, then restored.
class RedirectedKeyboard : public ::testing::TestWithParam<bool> {
  protected:
    void SetUp() override { original = GetStdHandle(STD_INPUT_HANDLE); }
    void TearDown() override {
        SetStdHandle(STD_INPUT_HANDLE, original);
        if (input != nullptr) CloseHandle(input);
        if (writer != nullptr) CloseHandle(writer);
        if (!path.empty()) DeleteFileA(path.c_str());
    }

    // Input holding `keys` and then its end.
    void provide(const std::string& keys) {
        if (GetParam()) {
            ASSERT_TRUE(CreatePipe(&input, &writer, nullptr, 0));
            DWORD written = 0;
            if (!keys.empty()) WriteFile(writer, keys.data(), static_cast<DWORD>(keys.size()), &written, nullptr);
            CloseHandle(writer);
            writer = nullptr;
        } else {
            char folder[MAX_PATH], name[MAX_PATH];
            GetTempPathA(sizeof folder, folder);
            GetTempFileNameA(folder, "key", 0, name);
            path = name;
            HANDLE file = CreateFileA(name, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
            DWORD written = 0;
            WriteFile(file, keys.data(), static_cast<DWORD>(keys.size()), &written, nullptr);
            CloseHandle(file);
            input = CreateFileA(name, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
            ASSERT_NE(input, INVALID_HANDLE_VALUE);
        }
        SetStdHandle(STD_INPUT_HANDLE, input);
    }

    HANDLE original = nullptr;
    HANDLE input = nullptr;
    HANDLE writer = nullptr;
    std::string path;
};

TEST_P(RedirectedKeyboard, EachByteIsOneKeyUntilTheEnd) {
    // A function key's two codes, CR and Ctrl-Z arrive as the bytes they are.
    const std::string keys{'y', '\0', '\x3C', '\r', '\n', '\x1A', '\xE0', '\x48'};
    provide(keys);
    for (char key : keys) {
        EXPECT_EQ(kbdHit(), 1);
        EXPECT_EQ(kbdGetch(), static_cast<unsigned char>(key));
    }
    for (int again = 0; again < 2; ++again) {
        EXPECT_EQ(kbdHit(), 0);
        EXPECT_EQ(kbdGetch(), KEY_END_OF_INPUT);
    }
}

TEST_P(RedirectedKeyboard, EmptyInputEndsAtOnce) {
    provide("");
    EXPECT_EQ(kbdHit(), 0);
    EXPECT_EQ(kbdGetch(), KEY_END_OF_INPUT);
}

TEST_P(RedirectedKeyboard, HitDoesNotTakeTheKey) {
    provide("ab");
    EXPECT_EQ(kbdHit(), 1);
    EXPECT_EQ(kbdHit(), 1);
    EXPECT_EQ(kbdGetch(), 'a');
    EXPECT_EQ(kbdGetch(), 'b');
    EXPECT_EQ(kbdGetch(), KEY_END_OF_INPUT);
}

INSTANTIATE_TEST_SUITE_P(PipeAndFile, RedirectedKeyboard, ::testing::Bool(),
                         [](const ::testing::TestParamInfo<bool>& info) {
                             return info.param ? std::string("Pipe") : std::string("File");
                         });

TEST(RedirectedKeyboardPipe, HitNeverWaitsForAWriterThatIsStillThere) {
    HANDLE original = GetStdHandle(STD_INPUT_HANDLE);
    HANDLE input = nullptr, writer = nullptr;
    ASSERT_TRUE(CreatePipe(&input, &writer, nullptr, 0));
    SetStdHandle(STD_INPUT_HANDLE, input);
    EXPECT_EQ(kbdHit(), 0);
    DWORD written = 0;
    WriteFile(writer, "k", 1, &written, nullptr);
    EXPECT_EQ(kbdHit(), 1);
    EXPECT_EQ(kbdGetch(), 'k');
    EXPECT_EQ(kbdHit(), 0);
    SetStdHandle(STD_INPUT_HANDLE, original);
    CloseHandle(writer);
    CloseHandle(input);
}

}   // namespace
