// bmfwu-pack: builds a firmware container from an application binary and its
// header values, or checks one with --inspect.
#include <cstdio>
#include <cstring>
#include <string>

#include "container_layout.h"
#include "container_report.h"
#include "tool_support.h"

namespace {
constexpr int EXIT_REFUSED = 1;
constexpr int EXIT_USAGE = 2;

constexpr const char* USAGE =
    "Use: bmfwu-pack --product-id N --pcb-revision N --version N --model NAME\n"
    "                --app-address ADDR --param-address ADDR [--append-crc] APP -o CONTAINER\n"
    "     bmfwu-pack --inspect CONTAINER\n"
    "\n"
    "Builds a firmware container: an 80-byte header, the application APP, a 144-byte\n"
    "parameter block describing it, and the container's CRC-32. Numbers may be decimal\n"
    "or 0x-prefixed hexadecimal. Addresses must lie on 512-byte boundaries, the product\n"
    "id and PCB revision must fit one byte each, the model name has 1 to 31 printable\n"
    "characters.\n"
    "\n"
    "APP is the application as it stands in flash: its last four bytes are the CRC-32\n"
    "(little-endian) of the bytes before them, and that CRC counts in its length. A raw\n"
    "binary without it is refused unless --append-crc is given, which appends it.\n"
    "The application must be at least 512 bytes, carry a Thumb reset vector inside\n"
    "itself, and have first eight words summing to zero (the boot ROM's rule).\n"
    "\n"
    "--inspect checks a container (its three CRCs, its layout, the parameter block\n"
    "against the header and the application) and prints its fields. Exit status 0\n"
    "when everything holds, 1 on refused input or a failed check, 2 on a usage error.\n";

struct PackRequest {
    ContainerValues values{};
    bool appendCrc = false;
    std::string input;
    std::string output;
};

struct NumberOption {
    const char* name;
    std::uint32_t ContainerValues::*field;
};

constexpr NumberOption NUMBER_OPTIONS[] = {
    {"--product-id", &ContainerValues::productId},
    {"--pcb-revision", &ContainerValues::pcbRevision},
    {"--version", &ContainerValues::version},
    {"--app-address", &ContainerValues::appAddress},
    {"--param-address", &ContainerValues::paramAddress},
};
constexpr std::size_t NUMBER_OPTION_COUNT = std::size(NUMBER_OPTIONS);

int complain(const std::string& message, int status) {
    std::fprintf(stderr, "bmfwu-pack: %s\n", message.c_str());
    if (status == EXIT_USAGE) std::fputs("Try 'bmfwu-pack --help'.\n", stderr);
    return status;
}

const NumberOption* findNumberOption(const char* name) {
    for (const NumberOption& option : NUMBER_OPTIONS) {
        if (std::strcmp(option.name, name) == 0) return &option;
    }
    return nullptr;
}

// Fills `request` from the arguments; "" on success, else what is wrong.
std::string parsePackArguments(int argc, char** argv, PackRequest& request) {
    bool given[NUMBER_OPTION_COUNT] = {};
    bool modelGiven = false;
    for (int i = 1; i < argc; ++i) {
        const char* argument = argv[i];
        const bool takesValue = findNumberOption(argument) != nullptr || std::strcmp(argument, "--model") == 0 ||
                                std::strcmp(argument, "-o") == 0;
        if (takesValue && i + 1 >= argc) return std::string(argument) + " needs a value";
        if (const NumberOption* option = findNumberOption(argument)) {
            if (!parseNumber(argv[++i], request.values.*(option->field))) {
                return std::string(argument) + " wants a 32-bit number, not \"" + argv[i] + "\"";
            }
            given[option - NUMBER_OPTIONS] = true;
        } else if (std::strcmp(argument, "--model") == 0) {
            request.values.modelName = argv[++i];
            modelGiven = true;
        } else if (std::strcmp(argument, "-o") == 0) {
            request.output = argv[++i];
        } else if (std::strcmp(argument, "--append-crc") == 0) {
            request.appendCrc = true;
        } else if (argument[0] == '-') {
            return std::string("unknown option ") + argument;
        } else if (request.input.empty()) {
            request.input = argument;
        } else {
            return std::string("more than one application given: ") + argument;
        }
    }
    for (std::size_t i = 0; i < NUMBER_OPTION_COUNT; ++i) {
        if (!given[i]) return std::string("missing ") + NUMBER_OPTIONS[i].name;
    }
    if (!modelGiven) return "missing --model";
    if (request.input.empty()) return "missing the application file";
    if (request.output.empty()) return "missing -o CONTAINER";
    return "";
}

int pack(const PackRequest& request) {
    std::string problem = valuesProblem(request.values);
    if (!problem.empty()) return complain(problem, EXIT_REFUSED);
    Bytes application;
    if (!readFile(request.input, application)) return complain("cannot read " + request.input, EXIT_REFUSED);
    if (request.appendCrc) {
        appendCrc(application);
    } else if (application.size() >= MIN_APPLICATION_LENGTH && !crcIntact(application.data(), application.size())) {
        return complain(request.input +
                            ": the last four bytes are not the CRC-32 of the bytes before them"
                            " (give --append-crc for a binary without its CRC)",
                        EXIT_REFUSED);
    }
    problem = applicationProblem(application, request.values.appAddress);
    if (problem.empty()) problem = placementProblem(request.values, static_cast<std::uint32_t>(application.size()));
    if (!problem.empty()) return complain(request.input + ": " + problem, EXIT_REFUSED);
    if (!writeFile(request.output, buildContainer(request.values, application))) {
        return complain("cannot write " + request.output, EXIT_REFUSED);
    }
    return 0;
}
}   // namespace

int main(int argc, char** argv) {
    if (argc == 2 && (std::strcmp(argv[1], "--help") == 0 || std::strcmp(argv[1], "-h") == 0)) {
        std::fputs(USAGE, stdout);
        return 0;
    }
    if (argc >= 2 && std::strcmp(argv[1], "--inspect") == 0) {
        if (argc != 3) return complain("--inspect takes exactly one container", EXIT_USAGE);
        return inspectContainer(argv[2]);
    }
    if (argc == 1) return complain("nothing to do", EXIT_USAGE);
    PackRequest request;
    const std::string problem = parsePackArguments(argc, argv, request);
    if (!problem.empty()) return complain(problem, EXIT_USAGE);
    return pack(request);
}
