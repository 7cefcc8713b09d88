// A UU data line as the bootloader might send it. The first byte picks the
// decoder's limit; the output buffer is exactly that large, so a write past
// the limit is an AddressSanitizer report. Lines the encoder makes must come
// back unchanged.
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "fuzz_check.h"
#include "isp/uu.h"

namespace {

void checkRoundTrip(const std::uint8_t* data, std::size_t size) {
    int n = static_cast<int>(size < 45 ? size : 45);
    char line[UU_LINE_CAPACITY];
    char* end = uuEncodeLine(line, data, n);
    FUZZ_CHECK(end - line < UU_LINE_CAPACITY && *end == '\0');
    for (const char* c = line; c != end; ++c) FUZZ_CHECK(*c > 0x20 && *c <= 0x60);
    std::vector<std::uint8_t> decoded(45);
    FUZZ_CHECK(uuDecodeLine(decoded.data(), line, 45) == n);
    FUZZ_CHECK(std::memcmp(decoded.data(), data, static_cast<std::size_t>(n)) == 0);
}

}   // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 1) return 0;
    int limit = static_cast<std::int8_t>(data[0]);   // negative limits too
    std::string line(reinterpret_cast<const char*>(data + 1), size - 1);
    std::vector<std::uint8_t> out(limit > 0 ? static_cast<std::size_t>(limit) : 0);
    int stored = uuDecodeLine(out.data(), line.c_str(), limit);
    FUZZ_CHECK(stored >= 0 && stored <= (limit > 0 ? limit : 0));
    FUZZ_CHECK(stored <= 63);
    checkRoundTrip(data + 1, size - 1);
    return 0;
}
