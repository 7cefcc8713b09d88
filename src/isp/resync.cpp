#include "isp/resync.h"

#include <cstring>

#include "format/support_trace.h"
#include "isp/isp.h"
#include "isp/line.h"
#include "link/clock.h"
#include "link/serial.h"

namespace {

constexpr unsigned SETTLE_MS = 50;   // lets the rest of a spoilt answer arrive before it is dropped
// A "0" line carries 16 bytes as data; an unfinished "W" of a whole block
// ends within that many data lines and a checksum line for every 20 of them.
constexpr int FLUSH_LINE_BYTES = 16;
constexpr int FLUSH_DATA_LINES = (ISP_WRITE_PIECE + FLUSH_LINE_BYTES - 1) / FLUSH_LINE_BYTES;
constexpr int FLUSH_LINES = FLUSH_DATA_LINES + (FLUSH_DATA_LINES + 19) / 20;
constexpr unsigned FLUSH_SETTLE_MS = 100;

// Lines left over once a transfer has ended are taken as commands and each is
// answered (and echoed, with the echo on): wait as long again as the lines
// took on the wire, or twice that.
unsigned flushAnswersMs(SwitchLink& link) {
    return wireMs(link, FLUSH_LINES * 3 * (ispEchoOn(link) ? 2 : 1));
}

void settleAndDrain(SwitchLink& link, unsigned ms) {
    msDelay(ms);
    drainInput(link);
}

bool sendFlushLines(SwitchLink& link) {
    char lines[FLUSH_LINES * 3];
    for (int i = 0; i < FLUSH_LINES; ++i) std::memcpy(lines + 3 * i, "0\r\n", 3);
    if (linkStopped(link)) return false;
    traceNote(link.traceTag, "resynchronising: %d lines \"0\" end any unfinished transfer", FLUSH_LINES);
    return comWrite(&link.port, lines, static_cast<std::int32_t>(sizeof lines)) != 0;
}

}   // namespace

// A port that takes no bytes (an adapter pulled out) ends this at once.
IspResult nxpResync(SwitchLink& link) {
    settleAndDrain(link, SETTLE_MS);
    if (!sendFlushLines(link)) return ISP_FAILED;
    settleAndDrain(link, FLUSH_SETTLE_MS + flushAnswersMs(link));
    // The echo is asked for again, as it must be on for what follows.
    if (ispEchoOn(link) && nxpEchoOn(link) != ISP_OK) return ISP_FAILED;
    return nxpUnlock(link) == ISP_OK ? ISP_OK : ISP_FAILED;
}
