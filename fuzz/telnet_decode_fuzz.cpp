// What a network serial server sends, in pieces of the sizes the input picks,
// through the client's receive path: option storms, subnegotiations never
// ended, 255 at the end of a piece, unknown codes. The decoder must stay
// within its buffers and, where no 255 came, hand back exactly what was sent.
#include <cstdint>
#include <cstring>
#include <string>

#include "fuzz_check.h"
#include "link/rfc2217.h"

namespace {

void checkBounds(const TelnetState& state) {
    FUZZ_CHECK(state.next <= state.end && state.end <= sizeof state.data);
    FUZZ_CHECK(state.replyLength <= sizeof state.reply);
    FUZZ_CHECK(state.subLength <= sizeof state.sub);
}

}   // namespace

// Byte 0: flags (bit 0 a rate change awaits its confirmation); byte 1: the
// largest piece; the rest: the server's bytes.
extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 2) return 0;
    TelnetState state{};
    state.awaitingRate = (data[0] & 1) != 0;
    const std::size_t piece = data[1] % sizeof state.data + 1;
    std::string sent(reinterpret_cast<const char*>(data + 2), size - 2), received;
    for (std::size_t at = 0; at < sent.size(); at += piece) {
        const std::size_t count = std::min(piece, sent.size() - at);
        std::memcpy(state.data + state.end, sent.data() + at, count);
        telnetDecode(&state, static_cast<std::int32_t>(count));
        checkBounds(state);
        received.append(reinterpret_cast<const char*>(state.data + state.next), state.end - state.next);
        state.next = state.end = 0;
        state.replyLength = 0;   // as if sent
    }
    if (sent.find('\xff') == std::string::npos) FUZZ_CHECK(received == sent);
    FUZZ_CHECK(received.size() <= sent.size());
    return 0;
}
