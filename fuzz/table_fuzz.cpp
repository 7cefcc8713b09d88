// The parameter-table check over any table and region bytes, read through an
// honest bootloader: the fuzzer picks the table, the bytes everywhere else in
// flash, and the flash size. Flags let it make the magic, the table CRC and
// the region CRC right, so the checks behind them are reached as well; the
// table's lengths and addresses may point anywhere. reboot(scriptedLink) then runs over
// the same switch.
#include <cstdint>
#include <cstring>
#include <string>

#include "crc32/crc32.h"
#include "fuzz_check.h"
#include "isp/isp.h"
#include "isp/table.h"
#include "isp/uu.h"
#include "scripted_link.h"

namespace {

enum : std::uint8_t {
    FLAG_256K = 1,
    FLAG_SECOND_FORM = 2,
    FLAG_TABLE_CRC = 4,
    FLAG_REGION_CRC = 8,
    FLAG_ODD_FLASH = 16,
};

struct Flash {
    std::uint32_t tableAddress;
    std::uint8_t table[ParameterTable::SIZE];
    const std::uint8_t* rest;   // repeated over every other address
    std::size_t restSize;
};

Flash flash;

std::uint8_t byteAt(std::uint32_t address) {
    std::uint32_t offset = address - flash.tableAddress;
    if (offset < ParameterTable::SIZE) return flash.table[offset];
    return flash.restSize != 0 ? flash.rest[address % flash.restSize] : 0xFF;
}

void putWord(std::uint8_t* at, std::uint32_t value) {
    for (int i = 0; i < 4; ++i) at[i] = static_cast<std::uint8_t>(value >> (8 * i));
}

std::string answerRead(std::uint32_t address, std::uint32_t count) {
    std::string answer = "0\r\n";
    std::uint32_t sum = 0;
    for (std::uint32_t done = 0, lines = 0; done < count;) {
        std::uint8_t bytes[UU_LINE_BYTES];
        int n = static_cast<int>(count - done < UU_LINE_BYTES ? count - done : UU_LINE_BYTES);
        for (int i = 0; i < n; ++i) sum += bytes[i] = byteAt(address + done + static_cast<std::uint32_t>(i));
        char line[UU_LINE_CAPACITY];
        uuEncodeLine(line, bytes, n);
        answer += std::string(line) + "\r\n";
        done += static_cast<std::uint32_t>(n);
        if (++lines % 20 == 0 || done == count) {
            answer += std::to_string(sum) + "\r\n";
            sum = 0;
        }
    }
    return answer;
}

std::string answer(const std::string& line, std::uint32_t flashConfig) {
    unsigned long address = 0, count = 0;
    if (line == "J") return "0\r\n" + std::to_string(0xA001C830u) + "\r\n" + std::to_string(flashConfig) + "\r\n";
    if (std::sscanf(line.c_str(), "R %lu %lu", &address, &count) == 2 && count <= ISP_CHUNK)
        return answerRead(static_cast<std::uint32_t>(address), static_cast<std::uint32_t>(count));
    if (line[0] == 'U' || line[0] == 'G') return "0\r\n";
    return "";   // the host's OK after a block, and anything unexpected
}

void fixRegionCrc() {
    std::uint32_t address = littleEndianWord(flash.table + ParameterTable::REGION_ADDRESS);
    std::uint32_t length = littleEndianWord(flash.table + ParameterTable::REGION_LENGTH);
    if (length > TABLE_REGION_MAX) return;
    std::uint32_t crc = crc32Init();
    for (std::uint32_t i = 0; i < length; ++i) {
        std::uint8_t byte = byteAt(address + i);
        crc = crc32Update(crc, &byte, 1);
    }
    putWord(flash.table + ParameterTable::REGION_CRC, crc32Final(crc));
}

void fixTableCrc() {
    std::uint32_t covered = littleEndianWord(flash.table + ParameterTable::CRC_LENGTH);
    if (covered < 4 || covered > ParameterTable::SIZE) return;
    putWord(flash.table + covered - 4, crc32Final(crc32Update(crc32Init(), flash.table, covered - 4)));
}

void setUp(std::uint8_t flags, const std::uint8_t* data, std::size_t size) {
    flash.tableAddress = flags & FLAG_256K ? TABLE_ADDRESS_256K : TABLE_ADDRESS_512K;
    std::size_t tableBytes = size < ParameterTable::SIZE ? size : ParameterTable::SIZE;
    std::memset(flash.table, 0xFF, sizeof flash.table);
    std::memcpy(flash.table, data, tableBytes);
    flash.rest = data + tableBytes;
    flash.restSize = size - tableBytes;
    if (flags & FLAG_SECOND_FORM) putWord(flash.table + ParameterTable::MAGIC, TABLE_MAGIC_SECOND);
    if (flags & FLAG_REGION_CRC) fixRegionCrc();
    if (flags & FLAG_TABLE_CRC) fixTableCrc();
}

// What reboot gives after a table read with this result, when unlock and go succeed.
RebootResult rebootAfter(TableResult table) {
    switch (table) {
    case TABLE_OK: return REBOOT_STARTED;
    case TABLE_UNREADABLE: return REBOOT_TABLE_UNREADABLE;
    case TABLE_ABSENT: return REBOOT_NO_TABLE;
    case TABLE_REGION_TOO_LONG:
    case TABLE_REGION_BAD_CRC: return REBOOT_BAD_REGION;
    }
    return REBOOT_FAILED;
}

}   // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 1) return 0;
    std::uint8_t flags = data[0];
    setUp(flags, data + 1, size - 1);
    std::uint32_t flashConfig = flags & FLAG_ODD_FLASH ? 0x80
                                : flags & FLAG_256K    ? FLASH_CONFIG_256K
                                                       : FLASH_CONFIG_512K;
    linkReset(nullptr, 0);
    linkRespondWith([flashConfig](const std::string& line) { return answer(line, flashConfig); });

    DeviceIdentity identity{};
    const TableResult result = queryTable(scriptedLink, &identity);
    FUZZ_CHECK(result == 0 || result == 1 || result == 3 || result == 4 || result == 5);
    FUZZ_CHECK(std::memchr(identity.nameText, '\0', sizeof identity.nameText) != nullptr);
    if (flags & FLAG_ODD_FLASH) FUZZ_CHECK(result == 1);
    // An honest switch: every read succeeds, so only the table's own content
    // decides (an empty region reads as nothing, which counts as unreadable).
    bool emptyRegion = littleEndianWord(scriptedLink.table.bytes + ParameterTable::REGION_LENGTH) == 0;
    if (!(flags & FLAG_ODD_FLASH) && !emptyRegion) FUZZ_CHECK(result != 1);
    if (result != 0) FUZZ_CHECK(identity.version == 0);
    const RebootResult rebooted = reboot(scriptedLink);
    FUZZ_CHECK(rebooted == rebootAfter(result) || (result == TABLE_OK && rebooted == REBOOT_NO_ENTRY));
    return 0;
}
