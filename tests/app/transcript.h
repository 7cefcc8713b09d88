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
// What -h and the unknown-option message add to the usage text.
inline const std::string OPTIONS =
    "\n          x may also be COMn, or on Linux a device path such as /dev/ttyUSB0."
    "\n          On the network: rfc2217://HOST:PORT, a serial server in RFC 2217 mode."
    "\n\nOptions, before or after x:"
    "\n   /info, --info, -i       identify every switch found; change nothing"
    "\n   /yes, --yes, -y         answer Y and end without a key wait; exit status"
    "\n                           0 updated, 1 failed, 2 nothing to update"
    "\n   /log FILE, --log FILE   append a record of the run to FILE for support"
    "\n   /verify, --verify       read the whole flash back after writing it"
    "\n   /all, --all, -a         update all switches found (or on the ports) at once"
    "\n   /ports FILE, --ports FILE  with --all or --info, also the ports in FILE,"
    "\n                           one a line; a line starting with # is a comment"
    "\n   /json, --json           with --info, --yes or --all: the results as JSON on"
    "\n                           standard output, all other text on standard error"
    "\n   /version, --version     show the program's version and its firmware images"
    "\n   /?, -h, --help          show this text";
inline const std::string VALIDATED = "Firmware validated.\nFirmware validated.\n";
inline const std::string START = BANNER + VALIDATED;
inline const std::string KEY_WAIT = "\nPress any key to exit...\n";
inline const std::string NONE_FOUND = "\n\nNo updatable Brenmoor devices found.\n";
