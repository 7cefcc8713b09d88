// The texts the program prints at its start and end, for whole-transcript
// comparisons.
#pragma once
#include <string>

inline const std::string BANNER =
    "\nBrenmoor / Talvik firmware update utility. Version 2.2\n"
    "Updates the firmware of Brenmoor audio matrix switches over a serial port.\n";
inline const std::string USAGE =
    "\nUse: BMFWU [x]\n\nWhere:\n   x    = Optional, If not 0, then this is a comport number between 1 and 99,"
    "\n          otherwise searches COM1 - COM16.";
inline const std::string VALIDATED = "Firmware validated.\nFirmware validated.\n";
inline const std::string START = BANNER + VALIDATED;
inline const std::string KEY_WAIT = "\nPress any key to exit...\n";
inline const std::string NONE_FOUND = "\n\nNo updatable Brenmoor devices found.\n";
