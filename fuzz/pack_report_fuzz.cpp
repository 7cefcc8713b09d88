// `bmfwu-pack --inspect` over any container file. The file goes to a private
// temporary path, since the inspector reads from a path.
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <string>

#include "container_report.h"
#include "fuzz_check.h"

namespace {

const std::string& scratchPath() {
    static const std::string path = "/tmp/bmfwu-inspect-fuzz-" + std::to_string(getpid()) + ".bin";
    return path;
}

}   // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    std::FILE* file = std::fopen(scratchPath().c_str(), "wb");
    FUZZ_CHECK(file != nullptr);
    FUZZ_CHECK(std::fwrite(data, 1, size, file) == size);
    FUZZ_CHECK(std::fclose(file) == 0);
    int result = inspectContainer(scratchPath());
    FUZZ_CHECK(result == 0 || result == 1);
    std::remove(scratchPath().c_str());
    return 0;
}
