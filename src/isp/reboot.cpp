#include <cstdio>

#include "isp/isp.h"
#include "isp/table.h"

int reboot() {
    int result = queryTable(nullptr);
    if (result != 0) {
        std::printf("reboot: queryTable error: %d\n", result);
        return result;
    }
    // Only the second form carries the entry address.
    if (tableWord(tableImage, ParameterTable::MAGIC) != TABLE_MAGIC_SECOND) {
        std::printf("reboot: No vector table loaded.\n");
        return 6;
    }
    if (nxpUnlock() != 0) {
        std::printf("reboot: nxpUnlock error\n");
        return 1;
    }
    if (nxpGo(tableWord(tableImage, ParameterTable::ENTRY_ADDRESS) & ~1u) != 0) {
        std::printf("reboot: nxpGo error\n");
        return 1;
    }
    return 0;
}
