#include "app/update_loop.h"

#include <cstdio>

#include "app/exit.h"
#include "app/flash_identity.h"
#include "app/probe.h"
#include "catalog/catalog.h"
#include "catalog/version.h"
#include "console/reply_scanner.h"
#include "format/sinks.h"
#include "image/image.h"
#include "image/programming.h"
#include "isp/identity.h"
#include "link/clock.h"
#include "link/keyboard.h"
#include "link/serial.h"

int updateFinished = 0;

namespace {

// Set once a programming pass of this run has failed after the switch was
// identified: a switch then found in its bootloader without a table is that
// same switch, its table erased by the failed pass.
bool programmingFailed = false;

void endIfFinished() {
    if (updateFinished == 0) return;
    if (!msElapsed(lastDspProgressTime, COMPLETION_QUIET_MS) && appReady == 0) return;
    if (appReady == 0) consoleMessage("\nFirmware update complete, please power cycle the switch.\n");
    exitProgram(1);
}

void feedReceivedBytes() {
    for (int waiting = comBytesWaiting(&serialPort); waiting > 0; --waiting) {
        unsigned char byte = 0;
        if (comRead(&serialPort, &byte, 1) != 1) break;   // feed only what was really read
        feedReplyByte(static_cast<signed char>(byte));
    }
}

// Keys change nothing here; at most one key (a function key's two codes
// together) leaves the buffer per pass.
void consumeKey() {
    if (kbdHit() == 0) return;
    if (kbdGetch() == 0) kbdGetch();
}

[[noreturn]] void endNotCompatible(int port) {
    consoleMessage("\nThe device on COM%u not compatible with this update.\nProduct name: \"%s\"\n",
                static_cast<unsigned>(port), deviceIdentity.nameText);
    exitProgram(1);
}

// False when this pass has nothing to program. A switch in its bootloader
// without a table qualifies only when this run identified it before: from
// its flash, or before a failed pass erased its table.
bool switchQualifies(int port) {
    if (linkState == LINK_APPLICATION || linkState == LINK_BOOTLOADER) return true;
    if (linkState != LINK_BOOTLOADER_NO_TABLE) return false;
    if (!programmingFailed && !identifiedFromFlash) {
        consoleMessage("\nThe switch on COM%u is in its bootloader without firmware information and cannot be identified.\n",
                    static_cast<unsigned>(port));
        exitProgram(1);
    }
    deviceIdentity.version = 0;
    return true;
}

void runUpdatePass(int port) {
    if (probeDevice() != PROBE_IDENTIFIED) {
        consoleMessage("\nNo Brenmoor device found on COM%u.\n", static_cast<unsigned>(port));
        exitProgram(1);
    }
    if (!switchQualifies(port)) return;
    if (lookupModelName(deviceIdentity.productId, deviceIdentity.pcbRevision) == nullptr) endNotCompatible(port);
    if (imageCursor.base == nullptr) endNotCompatible(port);
    const int compatibility = checkCompatibility(&deviceIdentity, &imageCursor);
    if (compatibility != 0) {
        reportIncompatibility(compatibility, &deviceIdentity, &imageCursor);
        exitProgram(1);
    }
    if (confirmVersion(&deviceIdentity, &imageCursor) == 0) exitProgram(1);
    appReady = 0;
    if (updateFirmware(&imageCursor) == UPDATE_DONE) {
        updateFinished = 1;
        lastDspProgressTime = msNow();
    } else {
        programmingFailed = true;
    }
}

}  // namespace

void runUpdateLoop(int port) {
    for (;;) {
        msSleep(1);
        endIfFinished();
        feedReceivedBytes();
        consumeKey();
        if (updateFinished == 0) runUpdatePass(port);
    }
}
