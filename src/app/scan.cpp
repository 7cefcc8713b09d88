#include "app/scan.h"

#include "app/exit.h"
#include "app/flash_identity.h"
#include "app/probe_ports.h"
#include "app/report.h"
#include "format/sinks.h"

namespace {

// True when an image is made for the switch that answered.
bool switchMatches(Session& session) {
    // Without a table only the flash contents can tell which switch this is.
    if (session.link.state == LINK_BOOTLOADER_NO_TABLE) identifyFromFlash(session);
    const bool matches = matchImage(session);
    if (!matches) session.outcome.result = SWITCH_NOT_COMPATIBLE;
    return matches;
}

}   // namespace

int reportNoSwitchFound() {
    consoleMessage("\n\nNo updatable Brenmoor devices found.\n");
    return EXIT_NOTHING_TO_UPDATE;
}

std::unique_ptr<Session> scanPorts(const PortRange& range, int* status, RunReport* report) {
    if (range.count == 0) consoleMessage("\nNo serial ports were found on this computer.");
    ProbeOutcome found = probePorts(range, ProbeOptions{switchMatches, true, range.singlePort, report, false});
    if (found.chosen == nullptr) {
        *status = found.interrupted ? EXIT_FAILED : reportNoSwitchFound();
        return nullptr;
    }
    if (found.chosen->imageCorrupt) {
        found.chosen->outcome.result = SWITCH_FAILED;
        reportOutcome(report, *found.chosen, "This firmware file is corrupt! Try re-downloading file.");
        *status = EXIT_FAILED;
        return nullptr;
    }
    consoleMessage("\n");
    return std::move(found.chosen);
}
