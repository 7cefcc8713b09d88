// Runs the bmfwu binary as a user would: arguments, keys typed only once a
// given text has appeared on its output, a time limit.
//
// The same suite runs the Windows build under Wine when BMFWU_E2E_WINE is set
// (1 for `wine` on the PATH, or the path of a Wine loader) and WINEPREFIX names
// a prepared prefix with a running persistent wineserver (tools/wine/wine-env.sh):
// the program, BMFWU_E2E_PROGRAM (e.g. build-win/src/app/bmfwu.exe), then
// starts through Wine with its stderr appended to $BMFWU_WINE_LOG (default
// $WINEPREFIX/wine-stderr.log), its CR LF line ends come back as LF, and COM n
// is the prefix's link dosdevices/comN. Wine mode runs one test at a time,
// since all tests share the prefix's COM ports.
#pragma once
#include <functional>
#include <string>
#include <utility>
#include <vector>

struct KeyAfter {
    std::string text;   // typed once this text has appeared (after the previous step's text)
    std::string keys;
    bool kill = false;        // instead of typing, kill the program (SIGKILL) there
    bool interrupt = false;   // instead of typing, interrupt it there (SIGINT, as Ctrl-C)
    std::function<void()> first{};   // runs once the text has appeared, before the keys are typed
};

struct ProgramRun {
    std::string output;   // everything written to standard output
    int status = -1;      // exit status; -1 when killed or timed out
    bool timedOut = false;
    unsigned elapsedMs = 0;
    std::vector<std::pair<unsigned, std::size_t>> arrivals;   // ms from the start, output size then

    // Milliseconds from the start until output[position] had arrived.
    unsigned msUntil(std::size_t position) const {
        for (const auto& [ms, size] : arrivals)
            if (size > position) return ms;
        return elapsedMs;
    }
};

// Standard input closes once every step has typed its keys, so the program
// then meets end of input (the exit wait returns at once).
ProgramRun runProgram(const std::vector<std::string>& arguments, const std::string& portDir,
                      const std::vector<KeyAfter>& steps, unsigned timeoutMs = 60000);

// Path of the program under test: BMFWU_E2E_PROGRAM, else the one built in BMFWU_BUILD_DIR.
std::string programPath();

// True when the program runs under Wine (see above).
bool underWine();

// A fresh empty directory under /tmp, removed with its contents by the destructor.
// comPath(n) is where a test links the device that the program opens as COM n:
// inside that directory, or under Wine in the prefix's dosdevices, whose COM
// links are all removed first so that only the test's own ports exist.
class TempDir {
  public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    const std::string& path() const { return path_; }
    std::string comPath(unsigned port) const { return comPrefix_ + std::to_string(port); }

  private:
    std::string path_;
    std::string comPrefix_;
};
