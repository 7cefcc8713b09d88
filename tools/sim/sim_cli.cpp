// The command line of bmfwu-sim: one table of options drives both the parser
// and the help text, so no option goes undocumented.
#include "sim_internal.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

namespace {

struct Parse {
    SimOptions& options;
    unsigned& exitAfterMs;
    bool kindGiven = false;
    bool tableFieldGiven = false;
};

// Decimal, or hexadecimal after "0x".
bool number(const char* text, std::uint64_t limit, std::uint64_t& value) {
    int base = 10;
    if (text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
        base = 16;
        text += 2;
    }
    if (!*text) return false;
    value = 0;
    for (; *text; ++text) {
        const char c = *text;
        int digit = -1;
        if (c >= '0' && c <= '9')
            digit = c - '0';
        else if (base == 16 && c >= 'a' && c <= 'f')
            digit = c - 'a' + 10;
        else if (base == 16 && c >= 'A' && c <= 'F')
            digit = c - 'A' + 10;
        if (digit < 0) return false;
        value = value * base + static_cast<unsigned>(digit);
        if (value > limit) return false;
    }
    return true;
}

template <typename T>
bool setNumber(T& field, const char* text, std::uint64_t limit) {
    std::uint64_t value = 0;
    if (!number(text, limit, value)) return false;
    field = static_cast<T>(value);
    return true;
}

// "3.04", "2.10.3b" (major.minor[.sub][letter]) or a raw word "0x03040000".
bool parseVersion(const char* text, std::uint32_t& version) {
    if (text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) return setNumber(version, text, 0xFFFFFFFFu);
    unsigned major = 0, minor = 0, sub = 0;
    char letter = 0;
    int used = 0;
    const std::size_t length = std::strlen(text);
    if (std::sscanf(text, "%3u.%3u%n", &major, &minor, &used) != 2) return false;
    if (text[used] == '.') {
        int more = 0;
        if (std::sscanf(text + used + 1, "%2u%n", &sub, &more) != 1) return false;
        used += 1 + more;
    }
    if (text[used] >= 'a' && text[used] <= 'o') letter = text[used++];
    if (static_cast<std::size_t>(used) != length || major > 255 || minor > 255 || sub > 63) return false;
    version = (major << 24) | (minor << 16) | (letter ? (letter - 'a' + 1u) << 12 : 0u) | sub;
    return true;
}

bool setKind(Parse& p, SimFlashKind kind) {
    p.options.flash.kind = kind;
    p.kindGiven = true;
    return true;
}

bool setPartIdReply(SimPartIdReply& reply, const char* text) {
    static constexpr struct {
        const char* name;
        SimPartIdReply reply;
    } forms[] = {{"full", SIM_PART_ID_FULL}, {"no-config", SIM_PART_ID_NO_CONFIG}, {"none", SIM_PART_ID_SILENT}};
    for (const auto& form : forms) {
        if (std::strcmp(text, form.name) == 0) {
            reply = form.reply;
            return true;
        }
    }
    return false;
}

bool setRate(double& rate, const char* text) {
    char* end = nullptr;
    rate = std::strtod(text, &end);
    return end != text && *end == 0 && rate >= 0.0 && rate <= 1.0;
}

bool setOffset(std::int32_t& offset, const char* text) {
    const bool negative = text[0] == '-';
    std::uint64_t value = 0;
    if (!number(text + (negative ? 1 : 0), 0x7FFFFFFF, value)) return false;
    offset = negative ? -static_cast<std::int32_t>(value) : static_cast<std::int32_t>(value);
    return true;
}

struct Option {
    const char* name;
    const char* argument;   // nullptr for a flag
    const char* help;
    bool (*apply)(Parse&, const char*);
    bool tableField;   // implies --table unless the flash kind was chosen
};

constexpr std::uint64_t U32 = 0xFFFFFFFFu;

const Option OPTIONS[] = {
    {"--link", "PATH", "make PATH a symbolic link to the pseudo-terminal's slave",
     [](Parse& p, const char* v) {
         p.options.linkPath = v;
         return true;
     },
     false},
    {"--state", "FILE",
     "load the flash from FILE (made from the starting flash when missing);\n"
     "save it after every erase or copy and at exit",
     [](Parse& p, const char* v) {
         p.options.statePath = v;
         return true;
     },
     false},
    {"--log", "FILE", "write every byte both ways, with time and rate, to FILE",
     [](Parse& p, const char* v) {
         p.options.logPath = v;
         return true;
     },
     false},
    {"--exit-after-ms", "N", "stop after N ms (default: serve until SIGTERM or SIGINT)",
     [](Parse& p, const char* v) { return setNumber(p.exitAfterMs, v, U32); }, false},

    {"--part-id", "N", "part identification word answered to J (default 0xA001C830)",
     [](Parse& p, const char* v) { return setNumber(p.options.partId, v, U32); }, false},
    {"--flash-config", "N",
     "flash-configuration word answered to J: 0x00 two 512 KB banks (default),\n"
     "0x22 two 384 KB, 0x44 two 256 KB, 0x80 one 512 KB bank",
     [](Parse& p, const char* v) { return setNumber(p.options.flashConfig, v, U32); }, false},
    {"--part-id-reply", "FORM", "answer to J: full (default), no-config (part id only), none (silence)",
     [](Parse& p, const char* v) { return setPartIdReply(p.options.partIdReply, v); }, false},
    {"--start-in-bootloader", nullptr, "every reset enters the ROM bootloader, even with an application",
     [](Parse& p, const char*) { return p.options.startInBootloader = true; }, false},
    {"--ignore-vector-checksum", nullptr, "reset starts an application whose vector checksum is wrong",
     [](Parse& p, const char*) { return p.options.ignoreVectorChecksum = true; }, false},

    {"--blank", nullptr, "starting flash erased, as from the factory (the default)",
     [](Parse& p, const char*) { return setKind(p, SIM_FLASH_BLANK); }, false},
    {"--table", nullptr, "starting flash: a stand-in application with a second-form parameter table",
     [](Parse& p, const char*) { return setKind(p, SIM_FLASH_TABLE); }, false},
    {"--first-form", nullptr, "starting flash: a stand-in application with a first-form parameter table",
     [](Parse& p, const char*) { return setKind(p, SIM_FLASH_FIRST_FORM); }, false},
    {"--product-id", "N", "product id in the table (default 0x56)",
     [](Parse& p, const char* v) { return setNumber(p.options.flash.productId, v, 0xFF); }, true},
    {"--pcb-revision", "N", "PCB revision in the table (default 3)",
     [](Parse& p, const char* v) { return setNumber(p.options.flash.pcbRevision, v, 0xFF); }, true},
    {"--version", "V",
     "installed version: major.minor[.sub][letter a-o], e.g. 3.04 or 2.10.3b,\n"
     "or a raw word 0x03040000 (default 3.03)",
     [](Parse& p, const char* v) { return parseVersion(v, p.options.flash.version); }, true},
    {"--name", "TEXT", "model name in the table, at most 32 characters (32: no terminator)",
     [](Parse& p, const char* v) {
         p.options.flash.modelName = v;
         return std::strlen(v) <= 32;
     },
     true},
    {"--bad-region-crc", nullptr, "store a region CRC that does not match the application",
     [](Parse& p, const char*) { return p.options.flash.badRegionCrc = true; }, true},
    {"--entry", "ADDR", "entry address in the table and vector table (default 0x1A000101)",
     [](Parse& p, const char* v) { return setNumber(p.options.flash.entryAddress, v, U32); }, true},

    {"--ping-reply", "TEXT", "the application's answer to ^P$ (default ^=P00$)",
     [](Parse& p, const char* v) {
         p.options.pingReply = v;
         return true;
     },
     false},
    {"--version-reply", "TEXT", "answer ^V$ with TEXT instead of the reply built from the table",
     [](Parse& p, const char* v) {
         p.options.versionReply = v;
         return true;
     },
     false},
    {"--keep-alive", "N", "send N keep-alive lines ^+$ before the version reply",
     [](Parse& p, const char* v) { return setNumber(p.options.keepAliveLines, v, 1000); }, false},
    {"--dsp-banks", "N", "DSP banks updated after new firmware starts (default 2)",
     [](Parse& p, const char* v) { return setNumber(p.options.dspBanks, v, 100); }, false},
    {"--dsp-interval-ms", "N", "time between DSP progress reports (default 100)",
     [](Parse& p, const char* v) { return setNumber(p.options.dspIntervalMs, v, 600000); }, false},
    {"--app-boot-ms", "N", "time from the start of new firmware to its first report (default 200)",
     [](Parse& p, const char* v) { return setNumber(p.options.appBootMs, v, 600000); }, false},
    {"--dsp-quiet", nullptr, "new firmware reports neither DSP progress nor ^=P$",
     [](Parse& p, const char*) { return p.options.dspQuiet = true; }, false},

    {"--garbage-at-wrong-rate", nullptr,
     "bytes at a rate the other side is not at arrive as random\n"
     "bytes instead of being lost",
     [](Parse& p, const char*) { return p.options.garbageAtWrongRate = true; }, false},
    {"--throttle", nullptr,
     "move bytes no faster than the rate allows (10 bits a byte) and spend\n"
     "the erase and copy times",
     [](Parse& p, const char*) { return p.options.throttle = true; }, false},
    {"--latency", "MS",
     "hold every byte to the host until the next tick of a free-running MS timer,\n"
     "as a USB-serial adapter's latency timer does (default 0: none)",
     [](Parse& p, const char* v) { return setNumber(p.options.latencyMs, v, 1000); }, false},
    {"--erase-ms", "N", "time of one erase command (default 100)",
     [](Parse& p, const char* v) { return setNumber(p.options.eraseMs, v, 600000); }, false},
    {"--copy-ms", "N", "time of copying 512 bytes to flash (default 1)",
     [](Parse& p, const char* v) { return setNumber(p.options.copyMs, v, 600000); }, false},

    {"--silent-after-bytes", "N", "fall silent once N bytes have been heard (until restart)",
     [](Parse& p, const char* v) { return setNumber(p.options.faults.silentAfterBytes, v, UINT64_MAX); }, false},
    {"--silent-at-write", "K", "fall silent on receiving the Kth W command",
     [](Parse& p, const char* v) { return setNumber(p.options.faults.silentAtWrite, v, U32); }, false},
    {"--corrupt-line", "K", "damage one character of the Kth W data line (answered RESEND)",
     [](Parse& p, const char* v) { return setNumber(p.options.faults.corruptDataLine, v, U32); }, false},
    {"--swap-line", "K", "store the Kth W data line with two bytes swapped (its checksum still passes)",
     [](Parse& p, const char* v) { return setNumber(p.options.faults.swapDataLine, v, U32); }, false},
    {"--exchange-groups", "K", "the Kth W data line arrives with two unequal groups exchanged (checksum passes)",
     [](Parse& p, const char* v) { return setNumber(p.options.faults.exchangeGroups, v, U32); }, false},
    {"--lose-collision", "K",
     "from the Kth W data line on, the first line that can lose a character\n"
     "without its checksum seeing it loses it (once)",
     [](Parse& p, const char* v) { return setNumber(p.options.faults.loseCollision, v, U32); }, false},
    {"--corrupt-rate", "R", "replace each heard byte by another with chance R (0 to 1)",
     [](Parse& p, const char* v) { return setRate(p.options.faults.corruptRate, v); }, false},
    {"--corrupt-to-host-rate", "R", "replace each byte the switch sends by another with chance R (0 to 1)",
     [](Parse& p, const char* v) { return setRate(p.options.faults.corruptToHostRate, v); }, false},
    {"--burst-rate", "R", "start a burst of 8 to 64 replaced heard bytes at each byte with chance R",
     [](Parse& p, const char* v) { return setRate(p.options.faults.burstRate, v); }, false},
    {"--burst-to-host-rate", "R", "likewise for the bytes the switch sends",
     [](Parse& p, const char* v) { return setRate(p.options.faults.burstToHostRate, v); }, false},
    {"--lose-rate", "R", "lose each heard byte with chance R",
     [](Parse& p, const char* v) { return setRate(p.options.faults.loseRate, v); }, false},
    {"--lose-to-host-rate", "R", "lose each byte the switch sends with chance R",
     [](Parse& p, const char* v) { return setRate(p.options.faults.loseToHostRate, v); }, false},
    {"--insert-rate", "R", "hear a random byte before each heard byte with chance R",
     [](Parse& p, const char* v) { return setRate(p.options.faults.insertRate, v); }, false},
    {"--insert-to-host-rate", "R", "send a random byte before each byte sent with chance R",
     [](Parse& p, const char* v) { return setRate(p.options.faults.insertToHostRate, v); }, false},
    {"--misdirect-write", "K", "hear the Kth W command with its address --misdirect-by bytes away",
     [](Parse& p, const char* v) { return setNumber(p.options.faults.misdirectWrite, v, U32); }, false},
    {"--misdirect-by", "N", "byte offset of --misdirect-write, a multiple of 4 (may be negative)",
     [](Parse& p, const char* v) { return setOffset(p.options.faults.misdirectBy, v); }, false},
    {"--seed", "N", "seed of --corrupt-rate and of garbage bytes (default 1)",
     [](Parse& p, const char* v) { return setNumber(p.options.faults.corruptSeed, v, U32); }, false},
    {"--fail-compare", "K", "the Kth M command reports a mismatch",
     [](Parse& p, const char* v) { return setNumber(p.options.faults.failCompare, v, U32); }, false},
    {"--refuse-go", nullptr, "answer every G command with CODE_READ_PROTECTION_ENABLED",
     [](Parse& p, const char*) { return p.options.faults.refuseGo = true; }, false},
    {"--refuse-echo", nullptr, "answer \"A 1\" (echo on) with PARAM_ERROR",
     [](Parse& p, const char*) { return p.options.faults.refuseEchoOn = true; }, false},
    {"--refuse-write", "K", "answer the Kth W command with the code of --refuse-write-code",
     [](Parse& p, const char* v) { return setNumber(p.options.faults.refuseWrite, v, U32); }, false},
    {"--refuse-write-code", "C", "return code for --refuse-write (default 14)",
     [](Parse& p, const char* v) { return setNumber(p.options.faults.refuseWriteCode, v, 255); }, false},
};

std::string buildUsage() {
    std::string text =
        "Usage: bmfwu-sim [--link PATH] [--state FILE] [options]\n"
        "Simulates a switch (its ROM bootloader and its application) on a pseudo-terminal.\n"
        "Prints the slave's path on the first line, serves until SIGTERM or SIGINT, saves the\n"
        "state, and prints the bytes moved and the flash time.\n\n";
    for (const Option& option : OPTIONS) {
        std::string head = std::string("  ") + option.name;
        if (option.argument) head += std::string(" ") + option.argument;
        text += head;
        std::string help = option.help;
        std::size_t at = 0;
        bool first = true;
        while (at <= help.size()) {
            const std::size_t end = std::min(help.find('\n', at), help.size());
            const std::size_t column = first ? head.size() : 0;
            text += std::string(column < 28 ? 28 - column : 1, ' ') + help.substr(at, end - at) + "\n";
            first = false;
            at = end + 1;
        }
    }
    text += "  --help                    show this text\n";
    return text;
}

}   // namespace

const char* simUsage() {
    static const std::string usage = buildUsage();
    return usage.c_str();
}

int simParseArguments(int argc, const char* const* argv, SimOptions& options, unsigned& exitAfterMs,
                      std::string& error) {
    Parse parse{options, exitAfterMs};
    for (int i = 0; i < argc; ++i) {
        const char* name = argv[i];
        if (std::strcmp(name, "--help") == 0) return 1;
        const Option* found = nullptr;
        for (const Option& option : OPTIONS)
            if (std::strcmp(name, option.name) == 0) found = &option;
        if (!found) {
            error = std::string("unknown option ") + name;
            return 2;
        }
        const char* value = "";
        if (found->argument) {
            if (i + 1 >= argc) {
                error = std::string(name) + " needs " + found->argument;
                return 2;
            }
            value = argv[++i];
        }
        if (!found->apply(parse, value)) {
            error = std::string("bad value for ") + name + ": " + value;
            return 2;
        }
        parse.tableFieldGiven = parse.tableFieldGiven || found->tableField;
    }
    if (parse.tableFieldGiven && !parse.kindGiven) options.flash.kind = SIM_FLASH_TABLE;
    return 0;
}
