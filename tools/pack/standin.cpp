// bmfwu-standin: writes a deterministic stand-in application for a container:
// a Cortex-M vector table the boot ROM accepts, filler, and the trailing CRC.
#include <cstdio>
#include <cstring>
#include <string>

#include "container_layout.h"
#include "tool_support.h"

namespace {
constexpr std::uint32_t STACK_TOP = RAM_END - 32;   // the ROM keeps the top 32 bytes of RAM
constexpr std::uint32_t VECTOR_COUNT = 16 + 53;     // system exceptions and the LPC43xx interrupts
constexpr std::uint32_t VECTOR_TABLE_SIZE = 4 * VECTOR_COUNT;
constexpr std::uint32_t RESERVED_VECTORS[] = {8, 9, 10, 13};
constexpr std::uint8_t BRANCH_TO_SELF[] = {0xFE, 0xE7};   // Thumb "b .": what an idle handler does
// The boot ROM's Go command takes only word-aligned addresses.
constexpr std::uint32_t CODE_ALIGNMENT = 4;

struct StandinRequest {
    std::uint32_t length = 0;
    std::uint32_t address = 0;
    std::uint32_t seed = 1;
    std::string output;
};

// xorshift32: the same filler on every host and every build.
std::uint32_t nextRandom(std::uint32_t& state) {
    state ^= state << 13;
    state ^= state >> 17;
    state ^= state << 5;
    return state;
}

// A word-aligned offset for handler code after the vector table, before the CRC.
std::uint32_t codeOffset(std::uint32_t& state, std::uint32_t length) {
    const std::uint32_t span = (length - CRC_SIZE - VECTOR_TABLE_SIZE - sizeof BRANCH_TO_SELF) / CODE_ALIGNMENT;
    return VECTOR_TABLE_SIZE + nextRandom(state) % span * CODE_ALIGNMENT;
}

bool isReservedVector(std::uint32_t index) {
    for (const std::uint32_t reserved : RESERVED_VECTORS) {
        if (reserved == index) return true;
    }
    return false;
}

Bytes makeStandin(const StandinRequest& request) {
    Bytes app(request.length - CRC_SIZE);
    std::uint32_t state = request.seed != 0 ? request.seed : 1;
    for (std::uint8_t& byte : app) byte = static_cast<std::uint8_t>(nextRandom(state) >> 24);
    const std::uint32_t resetCode = codeOffset(state, request.length);
    const std::uint32_t idleCode = codeOffset(state, request.length);
    std::memcpy(app.data() + resetCode, BRANCH_TO_SELF, sizeof BRANCH_TO_SELF);
    std::memcpy(app.data() + idleCode, BRANCH_TO_SELF, sizeof BRANCH_TO_SELF);
    for (std::uint32_t index = 0; index < VECTOR_COUNT; ++index) {
        const std::uint32_t handler = (index == 1 ? resetCode : idleCode) + request.address + 1;
        putLe32(app.data() + 4 * index, isReservedVector(index) ? 0 : handler);
    }
    putLe32(app.data(), STACK_TOP);
    putLe32(app.data() + 4 * VECTOR_CHECKSUM_INDEX, 0);
    putLe32(app.data() + 4 * VECTOR_CHECKSUM_INDEX, 0u - vectorChecksum(app.data()));
    appendCrc(app);
    return app;
}

// "" on success, else what is wrong with the arguments.
std::string parseArguments(int argc, char** argv, StandinRequest& request) {
    for (int i = 1; i < argc; i += 2) {
        if (i + 1 >= argc) return std::string(argv[i]) + " needs a value";
        const std::string option = argv[i];
        if (option == "-o") {
            request.output = argv[i + 1];
            continue;
        }
        std::uint32_t* target = option == "--length"    ? &request.length
                                : option == "--address" ? &request.address
                                : option == "--seed"    ? &request.seed
                                                        : nullptr;
        if (target == nullptr) return "unknown option " + option;
        if (!parseNumber(argv[i + 1], *target)) return option + " wants a 32-bit number";
    }
    if (request.output.empty()) return "missing -o FILE";
    if (request.length < MIN_APPLICATION_LENGTH) return "--length must be at least 512";
    if (std::uint64_t{request.address} + request.length > 0x100000000ull) return "the application passes 4 GiB";
    return "";
}
}   // namespace

int main(int argc, char** argv) {
    StandinRequest request;
    const std::string problem = parseArguments(argc, argv, request);
    if (!problem.empty()) {
        std::fprintf(stderr, "bmfwu-standin: %s\nUse: bmfwu-standin --length N --address ADDR [--seed N] -o FILE\n",
                     problem.c_str());
        return 2;
    }
    if (!writeFile(request.output, makeStandin(request))) {
        std::fprintf(stderr, "bmfwu-standin: cannot write %s\n", request.output.c_str());
        return 1;
    }
    return 0;
}
