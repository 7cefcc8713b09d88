#include <cstdio>

#include "crc32/crc32.h"
#include "format/sinks.h"
#include "isp/isp.h"
#include "isp/table.h"

namespace {

RebootResult failWith(SwitchLink& link, RebootNote* note, RebootResult result, const char* text) {
    if (note == nullptr)
        sinkMessage(link.out, "%s", text);
    else
        std::snprintf(note->text, sizeof note->text, "%s", text);
    return result;
}

RebootResult tableFailure(TableResult table) {
    switch (table) {
    case TABLE_UNREADABLE: return REBOOT_TABLE_UNREADABLE;
    case TABLE_ABSENT: return REBOOT_NO_TABLE;
    case TABLE_REGION_TOO_LONG:
    case TABLE_REGION_BAD_CRC: return REBOOT_BAD_REGION;
    case TABLE_OK: break;
    }
    return REBOOT_STARTED;
}

}   // namespace

RebootResult reboot(SwitchLink& link, RebootNote* note) {
    const TableResult table = queryTable(link, nullptr);
    if (table != TABLE_OK) {
        char text[sizeof RebootNote::text];
        std::snprintf(text, sizeof text, "reboot: queryTable error: %d\n", static_cast<int>(table));
        return failWith(link, note, tableFailure(table), text);
    }
    // Only the second form carries the entry address.
    if (littleEndianWord(link.table.bytes + ParameterTable::MAGIC) != TABLE_MAGIC_SECOND)
        return failWith(link, note, REBOOT_NO_ENTRY, "reboot: No vector table loaded.\n");
    if (nxpUnlock(link) != ISP_OK) return failWith(link, note, REBOOT_FAILED, "reboot: nxpUnlock error\n");
    if (nxpGo(link, littleEndianWord(link.table.bytes + ParameterTable::ENTRY_ADDRESS) & ~1u) != ISP_OK)
        return failWith(link, note, REBOOT_FAILED, "reboot: nxpGo error\n");
    return REBOOT_STARTED;
}
