#include "app/probe.h"

#include <cstring>

#include "console/identity_query.h"
#include "isp/line.h"
#include "isp/table.h"
#include "link/clock.h"
#include "link/serial.h"

namespace {

constexpr unsigned SETTLE_MS = 20;   // lets the tail of the sync answer arrive before it is drained

// The table's identity replaces what is known only when the table names one.
void adoptTableIdentity(DeviceIdentity& identity, const DeviceIdentity& fromTable) {
    identity.version = fromTable.version;
    identity.productId = fromTable.productId;
    identity.pcbRevision = fromTable.pcbRevision;
    identity.auxByte1 = fromTable.auxByte1;
    identity.auxByte2 = fromTable.auxByte2;
    std::memcpy(identity.nameText, fromTable.nameText, sizeof identity.nameText);
    identity.ownName = true;
}

int identifyFromTable(SwitchLink& link) {
    DeviceIdentity fromTable{};
    switch (queryTable(link, &fromTable)) {
    case TABLE_OK:
    case TABLE_REGION_TOO_LONG:   // product known, version 0
    case TABLE_REGION_BAD_CRC: adoptTableIdentity(link.identity, fromTable); return PROBE_IDENTIFIED;
    case TABLE_ABSENT: link.state = LINK_BOOTLOADER_NO_TABLE; return PROBE_IDENTIFIED;
    default: link.state = LINK_NONE; return PROBE_UNIDENTIFIED;
    }
}

}   // namespace

int probeDevice(SwitchLink& link) {
    if (link.port.baud == 0) return PROBE_NO_PORT;
    link.state = LINK_NONE;
    switch (nxpSync(link)) {
    case SYNC_BOOTLOADER: link.state = LINK_BOOTLOADER; break;
    case SYNC_APPLICATION: link.state = LINK_APPLICATION; break;
    default: return PROBE_NO_ANSWER;
    }
    msDelay(SETTLE_MS);
    drainInput(link);
    if (link.state == LINK_APPLICATION) {
        return queryVersionAgreed(link, &link.identity) == VERSION_REPLY_OK ? PROBE_IDENTIFIED : PROBE_UNIDENTIFIED;
    }
    return identifyFromTable(link);
}
