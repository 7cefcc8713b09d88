#include "isp/resync.h"

#include <cstring>

#include "isp/isp.h"
#include "isp/line.h"
#include "link/clock.h"
#include "link/serial.h"

namespace {

constexpr unsigned SETTLE_MS = 50;   // lets the rest of a spoilt answer arrive before it is dropped
// An unfinished transfer of up to 900 bytes ends within four groups of 20
// lines and a checksum, each line carrying at most 16 bytes.
constexpr int FLUSH_LINES = 90;
constexpr unsigned FLUSH_SETTLE_MS = 100;

void settleAndDrain(unsigned ms) {
    msDelay(ms);
    drainInput();
}

bool sendFlushLines() {
    char lines[FLUSH_LINES * 3];
    for (int i = 0; i < FLUSH_LINES; ++i) std::memcpy(lines + 3 * i, "0\r\n", 3);
    return comWrite(&serialPort, lines, static_cast<std::int32_t>(sizeof lines)) != 0;
}

}  // namespace

// A port that takes no bytes (an adapter pulled out) ends this at once.
int nxpResync() {
    settleAndDrain(SETTLE_MS);
    if (!sendFlushLines()) return 1;
    settleAndDrain(FLUSH_SETTLE_MS);
    return nxpUnlock() == 0 ? 0 : 1;
}
