#include <cstdio>

#include "format/sinks.h"
#include "isp/isp.h"
#include "isp/table.h"

int reboot() {
    int result = queryTable(nullptr);
    if (result != 0) {
        consoleMessage("reboot: queryTable error: %d\n", result);
        return result;
    }
    // Only the second form carries the entry address.
    if (tableWord(tableImage, ParameterTable::MAGIC) != TABLE_MAGIC_SECOND) {
        consoleMessage("reboot: No vector table loaded.\n");
        return 6;
    }
    if (nxpUnlock() != 0) {
        consoleMessage("reboot: nxpUnlock error\n");
        return 1;
    }
    if (nxpGo(tableWord(tableImage, ParameterTable::ENTRY_ADDRESS) & ~1u) != 0) {
        consoleMessage("reboot: nxpGo error\n");
        return 1;
    }
    return 0;
}
