// Finding out what is attached to the open port and which firmware it runs:
// the bootloader client and the application's protocol both serve it.
// Results are the PROBE_ codes below.
#pragma once

#include "isp/identity.h"

enum : int {
    PROBE_IDENTIFIED = 0,     // linkState (not LINK_NONE) says how
    PROBE_NO_PORT = 1,        // currentBaud 0; linkState untouched
    PROBE_NO_ANSWER = 6,      // linkState LINK_NONE
    PROBE_UNIDENTIFIED = 7,   // LINK_APPLICATION: no version reply; LINK_NONE: the table could not be read
};

// The probe's work record: queryTable fills it before it is copied into
// deviceIdentity.
extern DeviceIdentity tableIdentity;

// Synchronises the link, sets linkState and fills deviceIdentity from the
// application's version reply or the bootloader's parameter table (left as it
// was when the bootloader has no table). Prints nothing. Returns a PROBE_ code.
int probeDevice();
