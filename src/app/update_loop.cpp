#include "app/update_loop.h"

#include <cstdio>

#include "app/exit.h"
#include "app/flash_identity.h"
#include "app/options.h"
#include "app/probe.h"
#include "app/scan.h"
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
int failedPasses = 0;

// Without a person at the keyboard a switch that keeps failing must not hold
// the program for ever.
constexpr int UNATTENDED_RETRIES = 2;

void endIfFinished() {
    if (updateFinished == 0) return;
    if (!msElapsed(lastDspProgressTime, COMPLETION_QUIET_MS) && appReady == 0) return;
    if (appReady == 0) consoleMessage("\nFirmware update complete, please power cycle the switch.\n");
    exitProgram(EXIT_COMPLETED);
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

[[noreturn]] void endNotCompatible(const char* port) {
    consoleMessage("\nThe device on %s not compatible with this update.\nProduct name: \"%s\"\n", port,
                   deviceIdentity.nameText);
    exitProgram(EXIT_NOTHING_TO_UPDATE);
}

void giveUpWhenUnattended() {
    if (!runOptions.answerYes || ++failedPasses <= UNATTENDED_RETRIES) return;
    consoleMessage("\nThe update failed %d times; giving up.\n", failedPasses);
    exitProgram(EXIT_FAILED);
}

// False when this pass has nothing to program. A switch in its bootloader
// without a table qualifies only when this run identified it before: from
// its flash, or before a failed pass erased its table.
bool switchQualifies(const char* port) {
    if (linkState == LINK_APPLICATION || linkState == LINK_BOOTLOADER) return true;
    if (linkState != LINK_BOOTLOADER_NO_TABLE) return false;
    if (!programmingFailed && !identifiedFromFlash) {
        consoleMessage(
            "\nThe switch on %s is in its bootloader without firmware information and cannot be identified.\n", port);
        exitProgram(EXIT_FAILED);
    }
    deviceIdentity.version = 0;
    return true;
}

void runUpdatePass(const char* port) {
    if (probeDevice() != PROBE_IDENTIFIED) {
        consoleMessage("\nNo Brenmoor device found on %s.\n", port);
        exitProgram(programmingFailed ? EXIT_FAILED : EXIT_NOTHING_TO_UPDATE);
    }
    if (!switchQualifies(port)) return;
    if (lookupModelName(deviceIdentity.productId, deviceIdentity.pcbRevision) == nullptr) endNotCompatible(port);
    if (imageCursor.base == nullptr) endNotCompatible(port);
    const int compatibility = checkCompatibility(&deviceIdentity, &imageCursor);
    if (compatibility != 0) {
        reportIncompatibility(compatibility, &deviceIdentity, &imageCursor);
        exitProgram(EXIT_NOTHING_TO_UPDATE);
    }
    if (confirmVersion(&deviceIdentity, &imageCursor) == 0) exitProgram(EXIT_FAILED);
    appReady = 0;
    if (updateFirmware(&imageCursor, runOptions.verifyAll) == UPDATE_DONE) {
        updateFinished = 1;
        lastDspProgressTime = msNow();
    } else {
        programmingFailed = true;
        giveUpWhenUnattended();
    }
}

}   // namespace

void runUpdateLoop(const PortName& port) {
    static char label[PORT_DEVICE_SIZE];
    formatPortLabel(port, label, sizeof label);
    for (;;) {
        msSleep(1);
        endIfFinished();
        feedReceivedBytes();
        consumeKey();
        if (updateFinished == 0) runUpdatePass(label);
    }
}
