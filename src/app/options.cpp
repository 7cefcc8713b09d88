#include "app/options.h"

#include <cctype>
#include <cstring>

#include "link/port_list.h"

RunOptions runOptions{};

namespace {

enum OptionKind {
    OPTION_INFO,
    OPTION_YES,
    OPTION_LOG,
    OPTION_VERSION,
    OPTION_VERIFY,
    OPTION_ALL,
    OPTION_JSON,
    OPTION_HELP,
    OPTION_PORTS
};

struct OptionName {
    const char* name;
    OptionKind kind;
};

constexpr OptionName OPTION_NAMES[] = {
    {"/info", OPTION_INFO},        {"--info", OPTION_INFO},    {"-i", OPTION_INFO},
    {"/yes", OPTION_YES},          {"--yes", OPTION_YES},      {"-y", OPTION_YES},
    {"/log", OPTION_LOG},          {"--log", OPTION_LOG},      {"/version", OPTION_VERSION},
    {"--version", OPTION_VERSION}, {"/verify", OPTION_VERIFY}, {"--verify", OPTION_VERIFY},
    {"/all", OPTION_ALL},          {"--all", OPTION_ALL},      {"-a", OPTION_ALL},
    {"/json", OPTION_JSON},        {"--json", OPTION_JSON},
    {"/?", OPTION_HELP},           {"-h", OPTION_HELP},        {"--help", OPTION_HELP},
    {"/ports", OPTION_PORTS},      {"--ports", OPTION_PORTS},
};

const OptionName* findOption(const char* argument) {
    for (const OptionName& option : OPTION_NAMES) {
        if (std::strcmp(argument, option.name) == 0) return &option;
    }
    return nullptr;
}

// As the port number is read: white space, a sign, then a digit.
bool readsAsNumber(const char* argument) {
    while (std::isspace(static_cast<unsigned char>(*argument))) ++argument;
    if (*argument == '+' || *argument == '-') ++argument;
    return std::isdigit(static_cast<unsigned char>(*argument)) != 0;
}

bool isPortArgument(const char* argument) {
    if (argument[0] == '/') return comIsDevicePath(argument) != 0;
    return argument[0] != '-' || readsAsNumber(argument);
}

void applyOption(OptionKind kind, RunOptions* options) {
    if (kind == OPTION_INFO) options->identifyOnly = true;
    if (kind == OPTION_YES) options->answerYes = true;
    if (kind == OPTION_VERSION) options->showVersion = true;
    if (kind == OPTION_VERIFY) options->verifyAll = true;
    if (kind == OPTION_ALL) options->updateAll = true;
    if (kind == OPTION_JSON) options->json = true;
}

}   // namespace

int parseCommandLine(int argc, char** argv, RunOptions* options, const char** unknown) {
    *options = RunOptions{};
    bool usage = false;
    bool help = false;
    for (int at = 1; at < argc; ++at) {
        const char* argument = argv[at];
        if (const OptionName* option = findOption(argument)) {
            help = help || option->kind == OPTION_HELP;
            if (option->kind != OPTION_LOG && option->kind != OPTION_PORTS) {
                applyOption(option->kind, options);
            } else if (at + 1 < argc) {
                (option->kind == OPTION_LOG ? options->logPath : options->portsFile) = argv[++at];
            } else {
                usage = true;   // the file name is missing
            }
        } else if (!isPortArgument(argument)) {
            *unknown = argument;
            return COMMAND_LINE_UNKNOWN;
        } else if (options->portCount == PORT_ARGUMENT_LIMIT) {
            usage = true;
        } else {
            options->portArguments[options->portCount++] = argument;
        }
    }
    options->portArgument = options->portArguments[0];
    if (options->portCount > 1 && !options->updateAll) usage = true;
    if (options->portsFile != nullptr && !options->updateAll && !options->identifyOnly) usage = true;
    if (help) return COMMAND_LINE_HELP;
    if (usage) return COMMAND_LINE_USAGE;
    // The document reports a run that ends by itself: one that asks or waits for a key has none.
    const bool unattended = options->identifyOnly || options->answerYes || options->updateAll;
    return options->json && !unattended ? COMMAND_LINE_JSON_ALONE : COMMAND_LINE_OK;
}
