#include "container_report.h"

#include <cstdio>
#include <cstring>
#include <vector>

#include "container_layout.h"
#include "tool_support.h"

namespace {
struct Header {
    std::uint32_t totalLength, formatWord, productId, pcbRevision, version, appOffset;
    std::uint32_t appAddress, appLength, paramOffset, paramAddress, paramLength, reserved;
    const std::uint8_t* modelName;
};

Header decodeHeader(const std::uint8_t* c) {
    return Header{getLe32(c),      getLe32(c + 4),  getLe32(c + 8),  getLe32(c + 12), getLe32(c + 16),
                  getLe32(c + 20), getLe32(c + 24), getLe32(c + 28), getLe32(c + 32), getLe32(c + 36),
                  getLe32(c + 40), getLe32(c + 44), c + 48};
}

void field(const char* name, std::uint32_t value) {
    std::printf("%-18s0x%08X\n", name, static_cast<unsigned>(value));
}

void fieldWithDecimal(const char* name, std::uint32_t value) {
    std::printf("%-18s0x%08X (%u)\n", name, static_cast<unsigned>(value), static_cast<unsigned>(value));
}

void nameField(const char* name, const std::uint8_t* modelName) {
    std::printf("%-18s\"%s\"\n", name, modelNameOf(modelName).c_str());
}

class Problems {
  public:
    explicit Problems(const std::string& path) : path_(path) {}
    void check(bool holds, const std::string& problem) {
        if (!holds) add(problem);
    }
    void add(const std::string& problem) {
        if (!problem.empty()) found_.push_back(problem);
    }
    int report() const {
        for (const std::string& problem : found_)
            std::fprintf(stderr, "bmfwu-pack: %s: %s\n", path_.c_str(), problem.c_str());
        if (found_.empty()) std::puts("The container is consistent.");
        return found_.empty() ? 0 : 1;
    }

  private:
    std::string path_;
    std::vector<std::string> found_;
};

void printHeader(const Header& h) {
    fieldWithDecimal("totalLength", h.totalLength);
    field("formatWord", h.formatWord);
    field("productId", h.productId);
    field("pcbRevision", h.pcbRevision);
    field("version", h.version);
    field("appOffset", h.appOffset);
    field("appAddress", h.appAddress);
    fieldWithDecimal("appLength", h.appLength);
    field("paramOffset", h.paramOffset);
    field("paramAddress", h.paramAddress);
    fieldWithDecimal("paramLength", h.paramLength);
    field("reserved", h.reserved);
    nameField("modelName", h.modelName);
}

bool regionInside(std::uint32_t offset, std::uint32_t length, std::size_t limit) {
    return std::uint64_t{offset} + length <= limit;
}

void checkHeader(const Header& h, std::size_t fileSize, Problems& problems) {
    problems.check(h.totalLength == fileSize, "totalLength " + std::to_string(h.totalLength) +
                                                  " is not the file's size " + std::to_string(fileSize));
    problems.check(h.formatWord == CONTAINER_FORMAT_WORD, "formatWord is not 0x01000000");
    const ContainerValues values{h.productId,  h.pcbRevision,  h.version,
                                 h.appAddress, h.paramAddress, modelNameOf(h.modelName)};
    problems.add(valuesProblem(values));
    std::uint8_t expectedName[MODEL_NAME_FIELD];
    putModelName(expectedName, values.modelName);
    problems.check(std::memcmp(expectedName, h.modelName, MODEL_NAME_FIELD) == 0,
                   "modelName is not the name, its NUL and 0xFF padding");
    problems.add(placementProblem(values, h.appLength));
}

void printApplication(const std::uint8_t* app, std::uint32_t length) {
    std::puts("Application");
    field("  stackPointer", getLe32(app));
    field("  resetVector", getLe32(app + 4));
    field("  vectorSum", vectorChecksum(app));
    field("  crc", getLe32(app + length - CRC_SIZE));
}

void checkApplication(const Header& h, const Bytes& application, Problems& problems) {
    const std::uint32_t stackPointer = getLe32(application.data());
    problems.check(stackPointer >= RAM_START && stackPointer < RAM_END,
                   "the initial stack pointer is not inside RAM 0x10000000..0x10007FFF");
    problems.add(applicationProblem(application, h.appAddress));
}

void printParameterBlock(const std::uint8_t* p) {
    std::puts("Parameter block");
    fieldWithDecimal("  appLength", getLe32(p + PARAM_APP_LENGTH));
    field("  version", getLe32(p + PARAM_VERSION));
    nameField("  modelName", p + PARAM_MODEL_NAME);
    field("  tableMagic", getLe32(p + PARAM_MAGIC));
    field("  identityWord", getLe32(p + PARAM_IDENTITY));
    fieldWithDecimal("  tableCrcLength", getLe32(p + PARAM_CRC_LENGTH));
    field("  regionAddress", getLe32(p + PARAM_REGION_ADDRESS));
    fieldWithDecimal("  regionLength", getLe32(p + PARAM_REGION_LENGTH));
    field("  regionCrc", getLe32(p + PARAM_REGION_CRC));
    field("  entryAddress", getLe32(p + PARAM_ENTRY_ADDRESS));
    field("  tableCrc", getLe32(p + PARAM_TABLE_CRC));
}

// The block must be the one the packer would build for this header and application.
void checkParameterBlock(const Header& h, const Bytes& application, const std::uint8_t* p, Problems& problems) {
    const ContainerValues values{h.productId,  h.pcbRevision,  h.version,
                                 h.appAddress, h.paramAddress, modelNameOf(h.modelName)};
    const Bytes expected = buildParameterBlock(values, application);
    const struct {
        std::uint32_t offset;
        std::uint32_t size;
        const char* name;
    } fields[] = {
        {PARAM_APP_LENGTH, 4, "appLength"},
        {PARAM_VERSION, 4, "version"},
        {PARAM_MODEL_NAME, MODEL_NAME_FIELD, "modelName"},
        {PARAM_MAGIC, 4, "tableMagic"},
        {PARAM_IDENTITY, 4, "identityWord"},
        {PARAM_CRC_LENGTH, 4, "tableCrcLength"},
        {PARAM_REGION_ADDRESS, 4, "regionAddress"},
        {PARAM_REGION_LENGTH, 4, "regionLength"},
        {PARAM_REGION_CRC, 4, "regionCrc"},
        {PARAM_UNUSED_FF, 68, "unused bytes 64..131"},
        {PARAM_ENTRY_ADDRESS, 4, "entryAddress"},
        {PARAM_RESERVED_ZERO, 4, "reserved bytes 136..139"},
    };
    for (const auto& f : fields) {
        problems.check(std::memcmp(p + f.offset, expected.data() + f.offset, f.size) == 0,
                       std::string("the parameter block's ") + f.name + " does not match the header and application");
    }
    problems.check(crcIntact(p, PARAM_BLOCK_SIZE), "the parameter block's tableCrc is wrong");
}
}   // namespace

int inspectContainer(const std::string& path) {
    Bytes container;
    Problems problems(path);
    if (!readFile(path, container)) {
        problems.add("cannot read the file");
        return problems.report();
    }
    if (container.size() < CONTAINER_HEADER_SIZE + CRC_SIZE) {
        problems.add(std::to_string(container.size()) + " bytes is too short for a container");
        return problems.report();
    }
    const Header h = decodeHeader(container.data());
    std::printf("Container of %zu bytes\n", container.size());
    printHeader(h);
    checkHeader(h, container.size(), problems);
    const std::size_t limit = container.size() - CRC_SIZE;
    const bool appInside = regionInside(h.appOffset, h.appLength, limit) && h.appLength >= MIN_APPLICATION_LENGTH;
    const bool paramInside = regionInside(h.paramOffset, h.paramLength, limit);
    problems.check(appInside, "the application region lies outside the container or is shorter than 512 bytes");
    problems.check(paramInside, "the parameter block lies outside the container");
    problems.check(h.paramLength == PARAM_BLOCK_SIZE, "paramLength is not 144");
    field("containerCrc", getLe32(container.data() + limit));
    problems.check(crcIntact(container.data(), container.size()), "the container CRC is wrong");
    if (!appInside) return problems.report();
    const Bytes application(container.begin() + h.appOffset, container.begin() + h.appOffset + h.appLength);
    printApplication(application.data(), h.appLength);
    checkApplication(h, application, problems);
    if (paramInside && h.paramLength == PARAM_BLOCK_SIZE) {
        const std::uint8_t* block = container.data() + h.paramOffset;
        printParameterBlock(block);
        checkParameterBlock(h, application, block, problems);
    }
    return problems.report();
}
