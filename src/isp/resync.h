// Bringing a bootloader link back to a known state after a damaged exchange.
#pragma once
#include "isp/isp.h"

// Drops whatever is waiting and checks that the bootloader answers a command.
// A damaged "W" or reply can leave the bootloader expecting data lines, where
// every command would be taken as data; lines that read as both an all-zero
// data line and a zero checksum end such a transfer within a few groups. The
// RAM such a transfer was aimed at then holds zeros. With the echo on, it is
// turned on again. ISP_OK the bootloader answered (and is unlocked);
// ISP_FAILED it did not.
IspResult nxpResync(SwitchLink& link);
