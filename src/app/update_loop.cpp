#include "app/update_loop.h"

#include <cstdio>

#include "app/exit.h"
#include "app/flash_identity.h"
#include "app/options.h"
#include "app/probe.h"
#include "app/scan.h"
#include "catalog/catalog.h"
#include "catalog/version.h"
#include "format/sinks.h"
#include "link/clock.h"
#include "link/keyboard.h"
#include "link/serial.h"

namespace {

// Without a person at the keyboard a switch that keeps failing must not hold
// the program for ever.
constexpr int UNATTENDED_RETRIES = 2;

void endIfFinished(const Session& session) {
    if (!session.updateFinished) return;
    const ReplyScanner& scanner = session.scanner;
    if (!msElapsed(scanner.lastDspProgressTime, COMPLETION_QUIET_MS) && scanner.appReady == 0) return;
    if (scanner.appReady == 0) consoleMessage("\nFirmware update complete, please power cycle the switch.\n");
    exitProgram(EXIT_COMPLETED);
}

void feedReceivedBytes(Session& session) {
    SerialPort* port = &session.link.port;
    for (int waiting = comBytesWaiting(port); waiting > 0; --waiting) {
        unsigned char byte = 0;
        if (comRead(port, &byte, 1) != 1) break;   // feed only what was really read
        feedReplyByte(session.scanner, static_cast<signed char>(byte));
    }
}

// Keys change nothing here; at most one key (a function key's two codes
// together) leaves the buffer per pass.
void consumeKey() {
    if (kbdHit() == 0) return;
    if (kbdGetch() == 0) kbdGetch();
}

[[noreturn]] void endNotCompatible(const Session& session) {
    consoleMessage("\nThe device on %s not compatible with this update.\nProduct name: \"%s\"\n", session.label,
                   session.link.identity.nameText);
    exitProgram(EXIT_NOTHING_TO_UPDATE);
}

void giveUpWhenUnattended(Session& session) {
    if (!runOptions.answerYes || ++session.failedPasses <= UNATTENDED_RETRIES) return;
    consoleMessage("\nThe update failed %d times; giving up.\n", session.failedPasses);
    exitProgram(EXIT_FAILED);
}

// False when this pass has nothing to program. A switch in its bootloader
// without a table qualifies only when this run identified it before: from
// its flash, or before a failed pass erased its table.
bool switchQualifies(Session& session) {
    const int state = session.link.state;
    if (state == LINK_APPLICATION || state == LINK_BOOTLOADER) return true;
    if (state != LINK_BOOTLOADER_NO_TABLE) return false;
    if (!session.programmingFailed && !session.identifiedFromFlash) {
        consoleMessage(
            "\nThe switch on %s is in its bootloader without firmware information and cannot be identified.\n",
            session.label);
        exitProgram(EXIT_FAILED);
    }
    session.link.identity.version = 0;
    return true;
}

// Ends the program unless the switch may take the session's image.
void checkCompatible(const Session& session) {
    const DeviceIdentity& identity = session.link.identity;
    if (lookupModelName(identity.productId, identity.pcbRevision) == nullptr) endNotCompatible(session);
    if (session.image.base == nullptr) endNotCompatible(session);
    const int compatibility = checkCompatibility(&identity, &session.image);
    if (compatibility == COMPATIBLE) return;
    reportIncompatibility(compatibility, &identity, &session.image);
    exitProgram(EXIT_NOTHING_TO_UPDATE);
}

void runUpdatePass(Session& session) {
    if (probeDevice(session.link) != PROBE_IDENTIFIED) {
        consoleMessage("\nNo Brenmoor device found on %s.\n", session.label);
        exitProgram(session.programmingFailed ? EXIT_FAILED : EXIT_NOTHING_TO_UPDATE);
    }
    if (!switchQualifies(session)) return;
    checkCompatible(session);
    const int answer = runOptions.answerYes ? 'Y' : 0;
    if (confirmVersion(&session.link.identity, &session.image, answer) == 0) exitProgram(EXIT_FAILED);
    session.scanner.appReady = 0;
    if (updateFirmware(session.pass, &session.image, runOptions.verifyAll) == UPDATE_DONE) {
        session.updateFinished = true;
        session.scanner.lastDspProgressTime = msNow();
    } else {
        session.programmingFailed = true;
        giveUpWhenUnattended(session);
    }
}

}   // namespace

void runUpdateLoop(Session& session) {
    for (;;) {
        msSleep(1);
        endIfFinished(session);
        feedReceivedBytes(session);
        consumeKey();
        if (!session.updateFinished) runUpdatePass(session);
    }
}
