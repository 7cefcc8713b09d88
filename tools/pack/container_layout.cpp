#include "container_layout.h"

#include <cstdio>

#include "crc32/crc32.h"

namespace {
std::string hex32(std::uint32_t value) {
    char text[16];
    std::snprintf(text, sizeof text, "0x%08X", static_cast<unsigned>(value));
    return text;
}

// The container's lengths are 32-bit and must still count header, block and CRC.
constexpr std::uint64_t MAX_APPLICATION_LENGTH = 0xFFFFFFFFull - CONTAINER_HEADER_SIZE - PARAM_BLOCK_SIZE - CRC_SIZE;

bool onPage(std::uint32_t address) {
    return address % FLASH_PAGE_SIZE == 0;
}

bool printableAscii(const std::string& text) {
    for (const char c : text) {
        if (c < 0x20 || c > 0x7E) return false;
    }
    return true;
}

// Half-open flash ranges [start, end) in 64 bits so that an end past 4 GiB shows.
bool rangesOverlap(std::uint64_t startA, std::uint64_t endA, std::uint64_t startB, std::uint64_t endB) {
    return startA < endB && startB < endA;
}
}   // namespace

std::uint32_t crcOf(const std::uint8_t* bytes, std::size_t count) {
    return crc32Final(crc32Update(crc32Init(), bytes, count));
}

void appendCrc(Bytes& bytes) {
    const std::uint32_t crc = crcOf(bytes.data(), bytes.size());
    bytes.resize(bytes.size() + CRC_SIZE);
    putLe32(bytes.data() + bytes.size() - CRC_SIZE, crc);
}

bool crcIntact(const std::uint8_t* bytes, std::size_t count) {
    return crc32Update(crc32Init(), bytes, count) == CRC32_RESIDUE;
}

std::uint32_t vectorChecksum(const std::uint8_t* application) {
    std::uint32_t sum = 0;
    for (std::uint32_t word = 0; word < VECTOR_CHECKSUM_WORDS; ++word) sum += getLe32(application + 4 * word);
    return sum;
}

std::string valuesProblem(const ContainerValues& values) {
    if (values.productId > 0xFF) return "product id " + hex32(values.productId) + " does not fit the table's one byte";
    if (values.pcbRevision < 1 || values.pcbRevision > 0xFF) {
        return "PCB revision " + std::to_string(values.pcbRevision) + " is not between 1 and 255";
    }
    if (values.modelName.empty()) return "the model name is empty";
    if (values.modelName.size() > MODEL_NAME_FIELD - 1) {
        return "the model name \"" + values.modelName + "\" has " + std::to_string(values.modelName.size()) +
               " characters; at most 31 fit";
    }
    if (!printableAscii(values.modelName)) return "the model name is not printable ASCII";
    if (!onPage(values.appAddress))
        return "application address " + hex32(values.appAddress) + " is not on a 512-byte boundary";
    if (!onPage(values.paramAddress)) {
        return "parameter address " + hex32(values.paramAddress) + " is not on a 512-byte boundary";
    }
    return "";
}

std::string applicationProblem(const Bytes& application, std::uint32_t appAddress) {
    if (application.size() < MIN_APPLICATION_LENGTH) {
        return "the application has " + std::to_string(application.size()) + " bytes; at least 512 are needed";
    }
    if (application.size() > MAX_APPLICATION_LENGTH) return "the application is too large for a container";
    if (!crcIntact(application.data(), application.size())) {
        return "the application's last four bytes are not the CRC-32 of the bytes before them";
    }
    const std::uint32_t reset = getLe32(application.data() + 4);
    const std::uint64_t end = std::uint64_t{appAddress} + application.size() - CRC_SIZE;
    if ((reset & 1) == 0 || reset < appAddress || reset >= end) {
        return "the reset vector " + hex32(reset) + " is not a Thumb address inside the application";
    }
    if (vectorChecksum(application.data()) != 0) {
        return "the first eight words do not sum to zero, so the boot ROM would not start the application";
    }
    return "";
}

std::string placementProblem(const ContainerValues& values, std::uint32_t appLength) {
    const std::uint64_t appEnd = std::uint64_t{values.appAddress} + appLength;
    const std::uint64_t paramEnd = std::uint64_t{values.paramAddress} + PARAM_BLOCK_SIZE;
    if (appEnd > 0x100000000ull) return "the application does not fit below 4 GiB at " + hex32(values.appAddress);
    if (rangesOverlap(values.appAddress, appEnd, values.paramAddress, paramEnd)) {
        return "the parameter block at " + hex32(values.paramAddress) + " overlaps the application at " +
               hex32(values.appAddress) + ".." + hex32(static_cast<std::uint32_t>(appEnd - 1));
    }
    return "";
}

void putModelName(std::uint8_t* field, const std::string& name) {
    for (std::uint32_t i = 0; i < MODEL_NAME_FIELD; ++i) {
        field[i] = i < name.size() ? static_cast<std::uint8_t>(name[i]) : i == name.size() ? 0 : 0xFF;
    }
}

std::string modelNameOf(const std::uint8_t* field) {
    std::string name;
    for (std::uint32_t i = 0; i < MODEL_NAME_FIELD && field[i] != 0; ++i) name += static_cast<char>(field[i]);
    return name;
}

Bytes buildParameterBlock(const ContainerValues& values, const Bytes& application) {
    Bytes block(PARAM_BLOCK_SIZE, 0);
    std::uint8_t* p = block.data();
    putLe32(p + PARAM_APP_LENGTH, static_cast<std::uint32_t>(application.size()));
    putLe32(p + PARAM_VERSION, values.version);
    putModelName(p + PARAM_MODEL_NAME, values.modelName);
    putLe32(p + PARAM_MAGIC, TABLE_MAGIC_SECOND_FORM);
    putLe32(p + PARAM_IDENTITY, values.productId << 24 | values.pcbRevision << 16);
    putLe32(p + PARAM_CRC_LENGTH, PARAM_BLOCK_SIZE);
    putLe32(p + PARAM_REGION_ADDRESS, values.appAddress);
    putLe32(p + PARAM_REGION_LENGTH, MIN_APPLICATION_LENGTH);
    putLe32(p + PARAM_REGION_CRC, crcOf(application.data(), MIN_APPLICATION_LENGTH));
    for (std::uint32_t i = PARAM_UNUSED_FF; i < PARAM_UNUSED_WORD + 4; ++i) p[i] = 0xFF;
    putLe32(p + PARAM_ENTRY_ADDRESS, getLe32(application.data() + 4));
    putLe32(p + PARAM_RESERVED_ZERO, 0);
    putLe32(p + PARAM_TABLE_CRC, crcOf(p, PARAM_TABLE_CRC));
    return block;
}

Bytes buildContainer(const ContainerValues& values, const Bytes& application) {
    const auto appLength = static_cast<std::uint32_t>(application.size());
    const std::uint32_t paramOffset = CONTAINER_HEADER_SIZE + appLength;
    const std::uint32_t totalLength = paramOffset + PARAM_BLOCK_SIZE + CRC_SIZE;
    Bytes container(CONTAINER_HEADER_SIZE, 0);
    const std::uint32_t header[] = {totalLength,    CONTAINER_FORMAT_WORD, values.productId,  values.pcbRevision,
                                    values.version, CONTAINER_HEADER_SIZE, values.appAddress, appLength,
                                    paramOffset,    values.paramAddress,   PARAM_BLOCK_SIZE,  0};
    for (std::size_t i = 0; i < std::size(header); ++i) putLe32(container.data() + 4 * i, header[i]);
    putModelName(container.data() + 4 * std::size(header), values.modelName);
    container.insert(container.end(), application.begin(), application.end());
    const Bytes block = buildParameterBlock(values, application);
    container.insert(container.end(), block.begin(), block.end());
    appendCrc(container);
    return container;
}
