// The line reader over whatever arrives: the first byte picks the buffer's
// capacity (exactly that large, so an overrun is reported), the second the
// terminators; the rest is waiting on the port. Lines are read until the
// reader times out.
#include <cstdint>
#include <cstring>
#include <vector>

#include "fuzz_check.h"
#include "isp/line.h"
#include "scripted_link.h"

namespace {
constexpr const char* TERMINATORS[] = {"\r", "$", "$\r", ""};
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 2) return 0;
    int capacity = static_cast<std::int8_t>(data[0]);
    const char* terminators = TERMINATORS[data[1] % 4];
    linkReset(nullptr, 0);
    linkFeed(data + 2, size - 2);
    std::vector<char> buffer(capacity > 0 ? static_cast<std::size_t>(capacity) : 0);
    for (std::size_t pending = linkPending() + 1; pending > linkPending();) {
        pending = linkPending();
        int length = readLine(scriptedLink, buffer.data(), capacity, terminators);
        if (capacity < 1) {
            FUZZ_CHECK(length == -1);
            break;
        }
        FUZZ_CHECK(length >= -1 && length < capacity);
        FUZZ_CHECK(std::strlen(buffer.data()) == static_cast<std::size_t>(length < 0 ? 0 : length));
        for (int i = 0; i < length; ++i) FUZZ_CHECK(buffer[i] >= 0x20 && buffer[i] <= 0x7F);
    }
    drainInput(scriptedLink);
    FUZZ_CHECK(linkPending() == 0);
    return 0;
}
