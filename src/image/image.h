// The firmware image container compiled into the program, and the cursor
// through which the rest of the program reaches one image.
//
// Container layout (little-endian): an 80-byte FirmwareImage header, the
// application (its last 4 bytes its CRC-32), the parameter block (likewise),
// and the container's own CRC-32 in its last 4 bytes.
#pragma once
#include <cstdint>

#include "format/sinks.h"

struct FirmwareImage {           // the container header, first part of the container
    std::uint32_t totalLength;   // whole container, trailing CRC included
    std::uint32_t formatWord;    // 0x01000000
    std::uint32_t productId;
    std::uint32_t pcbRevision;   // 1-based
    std::uint32_t version;       // encoded as the catalogue's version number
    std::uint32_t appOffset;
    std::uint32_t appAddress;   // flash address of the application
    std::uint32_t appLength;    // trailing CRC included
    std::uint32_t paramOffset;
    std::uint32_t paramAddress;   // flash address of the parameter block
    std::uint32_t paramLength;    // trailing CRC included
    std::uint32_t reserved;
    char modelName[32];   // NUL-terminated, 0xFF after the terminator
};
static_assert(sizeof(FirmwareImage) == 80, "the container header is 80 bytes");

// Pointers into compiled-in data, never owned. `base` null: no image selected.
struct ImageCursor {
    const std::uint8_t* base;
    const FirmwareImage* header;
    const std::uint8_t* application;
    const std::uint8_t* parameters;
};

// What validateImage finds; the values are those the program has always used.
enum : int {
    IMAGE_INTACT = 0,
    IMAGE_BAD_CONTAINER = 4,   // the container CRC fails, or its layout leaves the container
    IMAGE_BAD_REGION = 5,      // the application or the parameter block fails its CRC
};

// Checks the container, application and parameter-block CRCs (residue check)
// and fills the cursor from its `base`. Returns an IMAGE_ code. Prints the
// reason to `out` (nullptr: the console), naming `displayName` (nullptr
// prints "(null)").
int validateImage(const char* displayName, ImageCursor* cursor, const OutputSink* out = nullptr);
