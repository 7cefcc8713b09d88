// Runs the bmfwu binary as a user would: arguments, keys typed only once a
// given text has appeared on its output, a time limit.
#pragma once
#include <string>
#include <vector>

struct KeyAfter {
    std::string text;   // typed once this text has appeared (after the previous step's text)
    std::string keys;
};

struct ProgramRun {
    std::string output;   // everything written to standard output
    int status = -1;      // exit status; -1 when killed or timed out
    bool timedOut = false;
    unsigned elapsedMs = 0;
};

// Standard input closes once every step has typed its keys, so the program
// then meets end of input (the exit wait returns at once).
ProgramRun runProgram(const std::vector<std::string>& arguments, const std::string& portDir,
                      const std::vector<KeyAfter>& steps, unsigned timeoutMs = 60000);

// Path of the built program, from BMFWU_BUILD_DIR.
std::string programPath();

// A fresh empty directory under /tmp, removed with its contents by the destructor.
class TempDir {
public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    const std::string& path() const { return path_; }
    std::string comPath(unsigned port) const { return path_ + "/COM" + std::to_string(port); }

private:
    std::string path_;
};
