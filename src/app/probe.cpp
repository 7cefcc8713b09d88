#include "app/probe.h"

#include <cstring>

#include "console/identity_query.h"
#include "isp/line.h"
#include "isp/table.h"
#include "link/clock.h"
#include "link/serial.h"

DeviceIdentity tableIdentity{};

namespace {

constexpr unsigned SETTLE_MS = 20;   // lets the tail of the sync answer arrive before it is drained

void adoptTableIdentity() {
    deviceIdentity.version = tableIdentity.version;
    deviceIdentity.productId = tableIdentity.productId;
    deviceIdentity.pcbRevision = tableIdentity.pcbRevision;
    deviceIdentity.auxByte1 = tableIdentity.auxByte1;
    deviceIdentity.auxByte2 = tableIdentity.auxByte2;
    std::memcpy(deviceIdentity.nameText, tableIdentity.nameText, sizeof deviceIdentity.nameText);
    deviceIdentity.modelName = deviceIdentity.nameText;
}

int identifyFromTable() {
    switch (queryTable(&tableIdentity)) {
    case TABLE_OK:
    case TABLE_REGION_TOO_LONG:   // product known, version 0
    case TABLE_REGION_BAD_CRC: adoptTableIdentity(); return PROBE_IDENTIFIED;
    case TABLE_ABSENT: linkState = LINK_BOOTLOADER_NO_TABLE; return PROBE_IDENTIFIED;
    default: linkState = LINK_NONE; return PROBE_UNIDENTIFIED;
    }
}

}   // namespace

int probeDevice() {
    if (currentBaud == 0) return PROBE_NO_PORT;
    linkState = LINK_NONE;
    switch (nxpSync()) {
    case SYNC_BOOTLOADER: linkState = LINK_BOOTLOADER; break;
    case SYNC_APPLICATION: linkState = LINK_APPLICATION; break;
    default: return PROBE_NO_ANSWER;
    }
    msDelay(SETTLE_MS);
    drainInput();
    if (linkState == LINK_APPLICATION) {
        return queryVersion(&deviceIdentity) == VERSION_REPLY_OK ? PROBE_IDENTIFIED : PROBE_UNIDENTIFIED;
    }
    return identifyFromTable();
}
