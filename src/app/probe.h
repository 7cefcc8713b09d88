// Finding out what is attached to the open port and which firmware it runs:
// the bootloader client and the application's protocol both serve it.
// Results are the PROBE_ codes below.
#pragma once

#include "isp/link.h"

enum : int {
    PROBE_IDENTIFIED = 0,     // the link's state (not LINK_NONE) says how
    PROBE_NO_PORT = 1,        // the port is closed; the link's state untouched
    PROBE_NO_ANSWER = 6,      // link state LINK_NONE
    PROBE_UNIDENTIFIED = 7,   // LINK_APPLICATION: no version reply; LINK_NONE: the table could not be read
};

// Synchronises the link, sets its state and fills its identity from the
// application's version reply or the bootloader's parameter table (left as it
// was when the bootloader has no table). Prints nothing. Returns a PROBE_ code.
int probeDevice(SwitchLink& link);
