#include <cstdio>

#include "format/sinks.h"
#include "isp/isp.h"
#include "isp/table.h"

int reboot() {
    int result = queryTable(nullptr);
    if (result != TABLE_OK) {
        consoleMessage("reboot: queryTable error: %d\n", result);
        return result;
    }
    // Only the second form carries the entry address.
    if (tableWord(tableImage, ParameterTable::MAGIC) != TABLE_MAGIC_SECOND) {
        consoleMessage("reboot: No vector table loaded.\n");
        return REBOOT_NO_ENTRY;
    }
    if (nxpUnlock() != ISP_OK) {
        consoleMessage("reboot: nxpUnlock error\n");
        return REBOOT_FAILED;
    }
    if (nxpGo(tableWord(tableImage, ParameterTable::ENTRY_ADDRESS) & ~1u) != ISP_OK) {
        consoleMessage("reboot: nxpGo error\n");
        return REBOOT_FAILED;
    }
    return REBOOT_STARTED;
}
