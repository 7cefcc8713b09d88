// The container and parameter-block layout as the packer, the inspector and
// the stand-in generator build and check it. Host tools only: they allocate
// freely and report problems as text.
#pragma once
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

using Bytes = std::vector<std::uint8_t>;

constexpr std::uint32_t CONTAINER_HEADER_SIZE = 80;
constexpr std::uint32_t CONTAINER_FORMAT_WORD = 0x01000000;
constexpr std::uint32_t CRC_SIZE = 4;
constexpr std::uint32_t FLASH_PAGE_SIZE = 512;          // programming granularity of the controller
constexpr std::uint32_t MODEL_NAME_FIELD = 32;          // NUL included
constexpr std::uint32_t MIN_APPLICATION_LENGTH = 512;   // the table's region CRC covers this much

// Parameter block (second form), offsets in bytes.
constexpr std::uint32_t PARAM_BLOCK_SIZE = 144;
constexpr std::uint32_t TABLE_MAGIC_SECOND_FORM = 0x1E3CA502;
constexpr std::uint32_t PARAM_APP_LENGTH = 0;
constexpr std::uint32_t PARAM_VERSION = 4;
constexpr std::uint32_t PARAM_MODEL_NAME = 8;
constexpr std::uint32_t PARAM_MAGIC = 40;
constexpr std::uint32_t PARAM_IDENTITY = 44;
constexpr std::uint32_t PARAM_CRC_LENGTH = 48;
constexpr std::uint32_t PARAM_REGION_ADDRESS = 52;
constexpr std::uint32_t PARAM_REGION_LENGTH = 56;
constexpr std::uint32_t PARAM_REGION_CRC = 60;
constexpr std::uint32_t PARAM_UNUSED_FF = 64;   // 64 bytes of 0xFF, then a word of 0xFFFFFFFF
constexpr std::uint32_t PARAM_UNUSED_WORD = 128;
constexpr std::uint32_t PARAM_ENTRY_ADDRESS = 132;
constexpr std::uint32_t PARAM_RESERVED_ZERO = 136;
constexpr std::uint32_t PARAM_TABLE_CRC = PARAM_BLOCK_SIZE - CRC_SIZE;

// Cortex-M vector table as the LPC boot ROM judges it.
constexpr std::uint32_t VECTOR_CHECKSUM_WORDS = 8;   // must sum to zero
constexpr std::uint32_t VECTOR_CHECKSUM_INDEX = 7;
constexpr std::uint32_t RAM_START = 0x10000000;
constexpr std::uint32_t RAM_END = 0x10008000;   // first local SRAM bank, exclusive

struct ContainerValues {
    std::uint32_t productId;
    std::uint32_t pcbRevision;
    std::uint32_t version;
    std::uint32_t appAddress;
    std::uint32_t paramAddress;
    std::string modelName;
};

inline std::uint32_t getLe32(const std::uint8_t* bytes) {
    return bytes[0] | bytes[1] << 8 | bytes[2] << 16 | std::uint32_t{bytes[3]} << 24;
}

inline void putLe32(std::uint8_t* bytes, std::uint32_t value) {
    for (int i = 0; i < 4; ++i) bytes[i] = static_cast<std::uint8_t>(value >> (8 * i));
}

std::uint32_t crcOf(const std::uint8_t* bytes, std::size_t count);
// Appends the CRC-32 of `bytes` to them, little-endian.
void appendCrc(Bytes& bytes);
// True when the region's last four bytes are the CRC-32 of the rest.
bool crcIntact(const std::uint8_t* bytes, std::size_t count);
std::uint32_t vectorChecksum(const std::uint8_t* application);   // sum of the first eight words

// The first problem with the values alone, or "" when there is none.
std::string valuesProblem(const ContainerValues& values);
// The first problem with an application (trailing CRC included) placed at
// `appAddress`, or "".
std::string applicationProblem(const Bytes& application, std::uint32_t appAddress);
// The first problem with placing the application and the parameter block
// together in flash, or "".
std::string placementProblem(const ContainerValues& values, std::uint32_t appLength);

// The 32-byte model-name field: the name, its NUL, 0xFF after it.
void putModelName(std::uint8_t* field, const std::string& name);
// The model name of a 32-byte field, up to its NUL.
std::string modelNameOf(const std::uint8_t* field);

Bytes buildParameterBlock(const ContainerValues& values, const Bytes& application);
Bytes buildContainer(const ContainerValues& values, const Bytes& application);
