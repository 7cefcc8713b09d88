// Whatever the application sends during an update, byte by byte.
#include <cstdint>
#include <cstring>

#include "console/reply_scanner.h"
#include "fuzz_check.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    ReplyScanner scanner{};
    for (std::size_t i = 0; i < size; ++i) {
        feedReplyByte(scanner, data[i]);
        FUZZ_CHECK(scanner.length >= 0 && scanner.length <= REPLY_TEXT_SIZE - 2);
    }
    // A complete reply handed to the handlers directly, unframed.
    char reply[REPLY_TEXT_SIZE];
    std::size_t length = size < sizeof reply - 1 ? size : sizeof reply - 1;
    std::memcpy(reply, data, length);
    reply[length] = '\0';
    int matched = matchReplyTokens(scanner, reply);
    FUZZ_CHECK(matched == 0 || matched == 1);
    return 0;
}
