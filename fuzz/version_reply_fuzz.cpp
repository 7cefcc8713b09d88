// The application's version reply, as any line the switch might send.
#include <cstdint>
#include <cstring>
#include <string>

#include "console/identity_query.h"
#include "fuzz_check.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    std::string reply(reinterpret_cast<const char*>(data), size);   // the NUL ends it, as in the reader
    DeviceIdentity identity{};
    std::memset(identity.nameText, 'x', sizeof identity.nameText);
    identity.nameText[sizeof identity.nameText - 1] = '\0';
    const char* before = "before";
    identity.catalogueName = before;
    int result = parseVersionReply(&identity, reply.c_str());
    FUZZ_CHECK(result >= VERSION_REPLY_OK && result <= VERSION_REPLY_TRAILING);
    FUZZ_CHECK(std::memchr(identity.nameText, '\0', sizeof identity.nameText) != nullptr);
    if (result == VERSION_REPLY_OK) {
        FUZZ_CHECK(modelNameOf(identity) != before);
        FUZZ_CHECK(modelNameOf(identity) != identity.nameText || identity.nameText[0] != '\0');
    } else {
        FUZZ_CHECK(modelNameOf(identity) == before);
    }
    return 0;
}
