// The command line: the port arguments (one, or with --all any number) and
// the options around them.
#pragma once

constexpr int PORT_ARGUMENT_LIMIT = 16;

struct RunOptions {
    const char* portArgument;                         // the first port argument; nullptr when none
    const char* portArguments[PORT_ARGUMENT_LIMIT];   // every port argument, in the order given
    int portCount;
    const char* logPath;   // --log FILE; nullptr when not asked for
    const char* portsFile;   // --ports FILE: more ports, one a line; nullptr when none
    bool identifyOnly;     // --info
    bool answerYes;        // --yes
    bool showVersion;      // --version
    bool verifyAll;        // --verify: read back the whole flash the pass wrote
    bool updateAll;        // --all: every switch found, at once
    bool json;             // --json: a document of the run's results on standard output
};

extern RunOptions runOptions;

// What parseCommandLine found.
constexpr int COMMAND_LINE_OK = 0;
// more than one port argument without --all, --ports without --all or --info, or --log or --ports without a file
constexpr int COMMAND_LINE_USAGE = 1;
constexpr int COMMAND_LINE_HELP = 2;      // help asked for
constexpr int COMMAND_LINE_UNKNOWN = 3;   // an unknown option, handed back in *unknown
constexpr int COMMAND_LINE_JSON_ALONE = 4;   // --json without --info, --yes or --all

// Reads argv[1..argc-1] into `options`. Options come in the forms "/info",
// "--info" and "-i"; an argument that reads as a number, negative ones
// included, is a port argument, and so is one beginning with "/" where the
// platform names devices by path. `unknown` gets the first unknown option.
// Returns one of the codes above.
int parseCommandLine(int argc, char** argv, RunOptions* options, const char** unknown);
