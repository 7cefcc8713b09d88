#include <cstdio>

#include "crc32/crc32.h"
#include "format/sinks.h"
#include "image/image.h"

namespace {
constexpr std::uint32_t CONTAINER_CRC_SIZE = 4;
constexpr const char* BAD_FILE_CRC = "\nError: Bad CRC of file \"%s\"\nMAGIC_CRC=%08X, CRC=%08X.\n";
constexpr const char* BAD_FIRMWARE_CRC = "\nError: Bad CRC of firmware in file \"%s\"\nMAGIC_CRC=%08X, CRC=%08X.\n";

// The Windows runtime prints a null %s as "(null)"; glibc would too, but the
// standard leaves it undefined.
const char* shownName(const char* displayName) {
    return displayName != nullptr ? displayName : "(null)";
}

// Residue check over one region, its stored CRC included; prints `failure`
// with the register left and its complement when the region is damaged.
bool regionIntact(const std::uint8_t* region, std::uint32_t length, const char* failure, const char* displayName,
                  const OutputSink* out) {
    const std::uint32_t residue = crc32Update(crc32Init(), region, length);
    if (residue == CRC32_RESIDUE) return true;
    sinkMessage(out, failure, shownName(displayName), static_cast<unsigned>(residue), static_cast<unsigned>(~residue));
    return false;
}

bool regionInside(std::uint32_t offset, std::uint32_t length, std::uint32_t totalLength) {
    return std::uint64_t{offset} + length <= totalLength - CONTAINER_CRC_SIZE;
}

// An intact container CRC only proves the header is as its maker wrote it;
// a header whose regions leave the container must not send the checks off
// into memory that is not part of it.
bool layoutInside(const FirmwareImage& header) {
    return header.totalLength >= sizeof(FirmwareImage) + CONTAINER_CRC_SIZE &&
           regionInside(header.appOffset, header.appLength, header.totalLength) &&
           regionInside(header.paramOffset, header.paramLength, header.totalLength);
}
}   // namespace

int validateImage(const char* displayName, ImageCursor* cursor, const OutputSink* out) {
    cursor->header = reinterpret_cast<const FirmwareImage*>(cursor->base);
    const FirmwareImage& header = *cursor->header;
    if (!regionIntact(cursor->base, header.totalLength, BAD_FILE_CRC, displayName, out)) return IMAGE_BAD_CONTAINER;
    if (!layoutInside(header)) {
        sinkMessage(out, "\nError: Bad layout of file \"%s\"\n", shownName(displayName));
        return IMAGE_BAD_CONTAINER;
    }
    cursor->application = cursor->base + header.appOffset;
    if (!regionIntact(cursor->application, header.appLength, BAD_FIRMWARE_CRC, displayName, out))
        return IMAGE_BAD_REGION;
    cursor->parameters = cursor->base + header.paramOffset;
    if (!regionIntact(cursor->parameters, header.paramLength, BAD_FIRMWARE_CRC, displayName, out))
        return IMAGE_BAD_REGION;
    return IMAGE_INTACT;
}
