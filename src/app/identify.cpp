#include "app/identify.h"

#include "app/exit.h"
#include "app/flash_identity.h"
#include "app/probe_ports.h"
#include "app/scan.h"
#include "catalog/verdict.h"
#include "catalog/version.h"
#include "firmware/firmware.h"
#include "format/sinks.h"
#include "image/image.h"

namespace {

const char* verdictText(const UpdateVerdict& verdict) {
    switch (verdict.kind) {
    case VERDICT_UPDATE: return "newer";
    case VERDICT_SAME: return "the same";
    case VERDICT_OLDER: return "older";
    default: return "not compatible";
    }
}

void reportImageFor(const DeviceIdentity& identity, const OutputSink* out) {
    const int index = imageIndexFor(identity);
    if (index < 0) {
        sinkMessage(out, "; no image for this switch");
        return;
    }
    ImageCursor image{firmwareImages[index], reinterpret_cast<const FirmwareImage*>(firmwareImages[index]), nullptr,
                      nullptr};
    sinkMessage(out, "; image %s: %s", formatVersion(image.header->version).text,
                verdictText(judgeUpdate(identity, image)));
}

// Runs on the port's thread; the session is never wanted: every port is closed.
bool reportSwitch(Session& session) {
    const OutputSink* out = session.link.out;
    const DeviceIdentity& identity = session.link.identity;
    // A bootloader without a table names its switch only through the flash contents.
    if (session.link.state == LINK_BOOTLOADER_NO_TABLE && !identifyFromFlash(session)) {
        session.outcome.result = SWITCH_NOT_COMPATIBLE;
        sinkMessage(out, "%s\n   no image for this switch", UNIDENTIFIED_SWITCH);
        return false;
    }
    describeSwitch(out, identity);
    reportImageFor(identity, out);
    return false;
}

}   // namespace

void describeSwitch(const OutputSink* out, const DeviceIdentity& identity) {
    const char* model = modelNameOf(identity) != nullptr ? modelNameOf(identity) : identity.nameText;
    sinkMessage(out, "%s\n   version %s, product id 0x%02X, PCB revision %u", model,
                formatVersion(identity.version).text, identity.productId, identity.pcbRevision);
}

int identifySwitches(const PortRange& range, RunReport* report) {
    const ProbeOutcome found = probePorts(range, ProbeOptions{reportSwitch, false, false, report, true});
    if (found.interrupted) return EXIT_FAILED;
    if (found.switches == 0) return reportNoSwitchFound();
    consoleMessage("\n");
    return EXIT_COMPLETED;
}
