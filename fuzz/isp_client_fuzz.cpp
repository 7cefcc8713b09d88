// Every operation of the bootloader client against a peer whose answers are
// the fuzzer's: the first byte picks the operation, the second and third its
// size where it moves data, the rest is the script of answers (one per line
// the host sends, separated by SCRIPT_SEPARATOR). Buffers are exactly as
// large as the operation is told, so any over-read or overrun is reported.
#include <cstdint>
#include <cstring>
#include <vector>

#include "app/probe.h"
#include "console/identity_query.h"
#include "fuzz_check.h"
#include "isp/isp.h"
#include "isp/line.h"
#include "isp/table.h"
#include "link/serial.h"
#include "scripted_link.h"

namespace {

void checkIdentity(const DeviceIdentity& identity) {
    FUZZ_CHECK(std::memchr(identity.nameText, '\0', sizeof identity.nameText) != nullptr);
}

void runRead(std::int32_t count) {
    std::vector<std::uint8_t> buffer(static_cast<std::size_t>(count));
    int result = nxpRead(scriptedLink, buffer.data(), 0x10000000, count);
    FUZZ_CHECK(result == 0 || result == count || (result < 0 && -result < count && -result % 900 == 0));
}

void runWrite(std::int32_t count, const std::uint8_t* bytes, std::size_t size) {
    std::vector<std::uint8_t> source(static_cast<std::size_t>(count));
    for (std::size_t i = 0; i < source.size() && size != 0; ++i) source[i] = bytes[i % size];
    const WriteResult result = nxpWrite(scriptedLink, 0x10000000, source.data(), count);
    FUZZ_CHECK(result == ISP_WRITE_OK || result == ISP_WRITE_FAILED || result == ISP_WRITE_REJECTED);
}

void runOperation(std::uint8_t operation, std::int32_t count, const std::uint8_t* script, std::size_t size) {
    switch (operation % 16) {
    case 0: {
        int result = nxpSync(scriptedLink);
        FUZZ_CHECK(result >= 0 && result <= 2);
        break;
    }
    case 1: FUZZ_CHECK(nxpUnlock(scriptedLink) <= 1); break;
    case 2: FUZZ_CHECK(nxpGo(scriptedLink, 0x1A000100) <= 1); break;
    case 3: FUZZ_CHECK(nxpPrepare(scriptedLink, 0, 14, 0) <= 1); break;
    case 4: FUZZ_CHECK(nxpErase(scriptedLink, 0, 14, 0) <= 1); break;
    case 5: FUZZ_CHECK(nxpCopy(scriptedLink, 0x1A000000, 0x10000000, 4096) <= ISP_COPY_DAMAGED_REFUSED); break;
    case 6: FUZZ_CHECK(nxpCompare(scriptedLink, 0x1A000000, 0x10000000, 4096) <= ISP_COMPARE_MISMATCH); break;
    case 7: {
        PartId part{};
        FUZZ_CHECK(nxpReadPartId(scriptedLink, &part) <= PART_ID_UNANSWERED && part.partWord0 <= 0xFFFF);
        break;
    }
    case 8: runRead(count); break;
    case 9: runWrite(count, script, size); break;
    case 10: {
        DeviceIdentity identity{};
        int result = queryTable(scriptedLink, &identity);
        FUZZ_CHECK(result == 0 || result == 1 || result == 3 || result == 4 || result == 5);
        checkIdentity(identity);
        break;
    }
    case 11: {
        const RebootResult result = reboot(scriptedLink);
        FUZZ_CHECK(result == REBOOT_STARTED || (result >= REBOOT_NO_ENTRY && result <= REBOOT_BAD_REGION));
        break;
    }
    case 12: {
        int result = probeDevice(scriptedLink);
        FUZZ_CHECK(result == PROBE_IDENTIFIED || result == PROBE_NO_ANSWER || result == PROBE_UNIDENTIFIED);
        checkIdentity(scriptedLink.identity);
        break;
    }
    case 13: {
        DeviceIdentity identity{};
        FUZZ_CHECK(queryVersion(scriptedLink, &identity) <= VERSION_REPLY_TRAILING);
        checkIdentity(identity);
        break;
    }
    default: {
        // Answers that were already waiting before the command went out.
        linkFeed(script, size);
        drainInput(scriptedLink);
        FUZZ_CHECK(linkPending() == 0);
        break;
    }
    }
}

}   // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 3) return 0;
    // Sizes up to 4095: several chunks, a partial last one, and counts that
    // are not a multiple of four.
    auto count = static_cast<std::int32_t>((data[1] | data[2] << 8) & 0xFFF);
    linkReset(data + 3, size - 3);
    runOperation(data[0], count, data + 3, size - 3);
    return 0;
}
