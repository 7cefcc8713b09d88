#include "isp/probe.h"

#include <cstring>

#include "console/identity_query.h"
#include "isp/line.h"
#include "isp/table.h"
#include "link/clock.h"
#include "link/serial.h"

DeviceIdentity deviceIdentity{};
int linkState = LINK_NONE;
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
    case 0:
    case 4:   // region too long or its CRC bad: product known, version 0
    case 5:
        adoptTableIdentity();
        return PROBE_IDENTIFIED;
    case 3:
        linkState = LINK_BOOTLOADER_NO_TABLE;
        return PROBE_IDENTIFIED;
    default:
        linkState = LINK_NONE;
        return PROBE_UNIDENTIFIED;
    }
}

}   // namespace

int probeDevice() {
    if (currentBaud == 0) return PROBE_NO_PORT;
    linkState = LINK_NONE;
    switch (nxpSync()) {
    case 1:
        linkState = LINK_BOOTLOADER;
        break;
    case 2:
        linkState = LINK_APPLICATION;
        break;
    default:
        return PROBE_NO_ANSWER;
    }
    msDelay(SETTLE_MS);
    drainInput();
    if (linkState == LINK_APPLICATION) {
        return queryVersion(&deviceIdentity) == 0 ? PROBE_IDENTIFIED : PROBE_UNIDENTIFIED;
    }
    return identifyFromTable();
}
