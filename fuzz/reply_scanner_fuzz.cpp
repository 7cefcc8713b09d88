// Whatever the application sends during an update, byte by byte.
#include <cstdint>
#include <cstring>

#include "console/reply_scanner.h"
#include "fuzz_check.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    replyLength = 0;
    appReady = 0;
    for (std::size_t i = 0; i < size; ++i) {
        feedReplyByte(data[i]);
        FUZZ_CHECK(replyLength >= 0 && replyLength <= REPLY_TEXT_SIZE - 2);
    }
    // A complete reply handed to the handlers directly, unframed.
    char reply[REPLY_TEXT_SIZE];
    std::size_t length = size < sizeof reply - 1 ? size : sizeof reply - 1;
    std::memcpy(reply, data, length);
    reply[length] = '\0';
    int matched = matchReplyTokens(reply);
    FUZZ_CHECK(matched == 0 || matched == 1);
    return 0;
}
