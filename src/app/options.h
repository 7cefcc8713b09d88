// The command line: at most one port argument and the options around it.
#pragma once

struct RunOptions {
    const char* portArgument;   // the one port argument; nullptr when none
    const char* logPath;        // --log FILE; nullptr when not asked for
    bool identifyOnly;          // --info
    bool answerYes;             // --yes
    bool showVersion;           // --version
    bool verifyAll;             // --verify: read back the whole flash the pass wrote
};

extern RunOptions runOptions;

// What parseCommandLine found.
constexpr int COMMAND_LINE_OK = 0;
constexpr int COMMAND_LINE_USAGE = 1;     // more than one port argument, or --log without a file
constexpr int COMMAND_LINE_HELP = 2;      // help asked for
constexpr int COMMAND_LINE_UNKNOWN = 3;   // an unknown option, handed back in *unknown

// Reads argv[1..argc-1] into `options`. Options come in the forms "/info",
// "--info" and "-i"; an argument that reads as a number, negative ones
// included, is a port argument, and so is one beginning with "/" where the
// platform names devices by path. `unknown` gets the first unknown option.
// Returns one of the codes above.
int parseCommandLine(int argc, char** argv, RunOptions* options, const char** unknown);
