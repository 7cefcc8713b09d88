// The two firmware containers compiled into the program, in the order the
// device matching tries them. Both are always present.
#pragma once
#include <cstdint>

constexpr int FIRMWARE_IMAGE_COUNT = 2;
extern const std::uint8_t* const firmwareImages[FIRMWARE_IMAGE_COUNT];
extern const std::uint32_t firmwareImageSizes[FIRMWARE_IMAGE_COUNT];
