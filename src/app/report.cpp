#include "app/report.h"

#include "app/scan.h"
#include "app/session.h"
#include "firmware/firmware.h"
#include "link/clock.h"

namespace {

std::uint32_t imageVersionFor(const DeviceIdentity& identity) {
    const int index = imageIndexFor(identity);
    return index < 0 ? 0 : reinterpret_cast<const FirmwareImage*>(firmwareImages[index])->version;
}

void stamp(const RunReport& report, PortReport& entry, const char* error, std::uint32_t endedAt = 0) {
    entry.endedMs = (endedAt != 0 ? endedAt : msNow()) - report.startedAt;
    if (error != nullptr && error[0] != '\0') entry.error = error;
}

}   // namespace

void reportProbedPort(RunReport* report, Session& session, SwitchResult result, const char* error) {
    if (report == nullptr) return;
    PortReport entry;
    entry.port = session.label;
    entry.found = result != SWITCH_NOT_FOUND && result != SWITCH_NOT_OPENED && result != SWITCH_INTERRUPTED;
    entry.result = result;
    if (entry.found) {
        entry.state = session.link.state;
        entry.identity = session.link.identity;
        entry.imageVersion = imageVersionFor(entry.identity);
    }
    stamp(*report, entry, error);
    session.reportIndex = static_cast<int>(report->ports.size());
    report->ports.push_back(entry);
}

void reportOutcome(RunReport* report, const Session& session, const char* error) {
    if (report == nullptr || session.reportIndex < 0) return;
    PortReport& entry = report->ports[static_cast<std::size_t>(session.reportIndex)];
    entry.result = session.outcome.result;
    stamp(*report, entry, error, session.outcome.endedAt);
}
