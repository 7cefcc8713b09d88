#include <cstdio>

#include "crc32/crc32.h"
#include "format/sinks.h"
#include "isp/isp.h"
#include "isp/table.h"

namespace {

int failWith(SwitchLink& link, RebootNote* note, int result, const char* text) {
    if (note == nullptr)
        sinkMessage(link.out, "%s", text);
    else
        std::snprintf(note->text, sizeof note->text, "%s", text);
    return result;
}

}   // namespace

int reboot(SwitchLink& link, RebootNote* note) {
    const int result = queryTable(link, nullptr);
    if (result != TABLE_OK) {
        char text[sizeof RebootNote::text];
        std::snprintf(text, sizeof text, "reboot: queryTable error: %d\n", result);
        return failWith(link, note, result, text);
    }
    // Only the second form carries the entry address.
    if (littleEndianWord(link.table.bytes + ParameterTable::MAGIC) != TABLE_MAGIC_SECOND)
        return failWith(link, note, REBOOT_NO_ENTRY, "reboot: No vector table loaded.\n");
    if (nxpUnlock(link) != ISP_OK) return failWith(link, note, REBOOT_FAILED, "reboot: nxpUnlock error\n");
    if (nxpGo(link, littleEndianWord(link.table.bytes + ParameterTable::ENTRY_ADDRESS) & ~1u) != ISP_OK)
        return failWith(link, note, REBOOT_FAILED, "reboot: nxpGo error\n");
    return REBOOT_STARTED;
}
