#include "app/scan.h"

#include "app/exit.h"
#include "app/flash_identity.h"
#include "app/probe_ports.h"
#include "format/sinks.h"

namespace {

// True when an image is made for the switch that answered.
bool switchMatches(Session& session) {
    // Without a table only the flash contents can tell which switch this is.
    if (session.link.state == LINK_BOOTLOADER_NO_TABLE) identifyFromFlash(session);
    return matchImage(session);
}

}   // namespace

int reportNoSwitchFound() {
    consoleMessage("\n\nNo updatable Brenmoor devices found.\n");
    return EXIT_NOTHING_TO_UPDATE;
}

std::unique_ptr<Session> scanPorts(const PortRange& range, int* status) {
    if (range.count == 0) consoleMessage("\nNo serial ports were found on this computer.");
    ProbeOutcome found = probePorts(range, ProbeOptions{switchMatches, true, range.singlePort});
    if (found.chosen == nullptr) {
        *status = reportNoSwitchFound();
        return nullptr;
    }
    if (found.chosen->imageCorrupt) {
        *status = EXIT_FAILED;
        return nullptr;
    }
    consoleMessage("\n");
    return std::move(found.chosen);
}
