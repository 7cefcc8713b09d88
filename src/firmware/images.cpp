#include "firmware/firmware.h"

#include "firmware_image1.h"
#include "firmware_image2.h"

const std::uint8_t* const firmwareImages[FIRMWARE_IMAGE_COUNT] = {firmwareImage1, firmwareImage2};
const std::uint32_t firmwareImageSizes[FIRMWARE_IMAGE_COUNT] = {FIRMWARE_IMAGE1_SIZE, FIRMWARE_IMAGE2_SIZE};
