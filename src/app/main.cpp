// bmfwu: finds a Brenmoor switch on a COM port and updates its firmware.
#include <cstdio>
#include <cstring>

#include "app/exit.h"
#include "app/scan.h"
#include "app/startup.h"
#include "app/support_log.h"
#include "app/update_loop.h"
#include "format/sinks.h"

namespace {
bool isHelpArgument(const char* argument) {
    return std::strcmp(argument, "-h") == 0 || std::strcmp(argument, "--help") == 0 ||
           std::strcmp(argument, "/?") == 0;
}
}  // namespace

int main(int argc, char** argv) {
    if (argc >= 3 && std::strcmp(argv[1], "--log") == 0) {
        if (startSupportLog(argv[2]) != 0) exitProgram(1);
        argv[2] = argv[0];
        argv += 2;
        argc -= 2;
    }
    consolePutString("\n");
    printBanner();
    if (argc > 2 || (argc == 2 && isHelpArgument(argv[1]))) printUsageAndExit();
    automaticMode = 1;
    promptAtExit = 1;
    validateFirmwareImages();
    const PortRange range = portRangeFromArgument(argc == 2 ? argv[1] : nullptr);
    runUpdateLoop(scanPorts(range));
}
