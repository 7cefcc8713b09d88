// File and argument helpers shared by the host tools.
#pragma once
#include <string>

#include "container_layout.h"

// False when the file cannot be opened or read completely.
bool readFile(const std::string& path, Bytes& bytes);
// False when the file cannot be created or written completely.
bool writeFile(const std::string& path, const Bytes& bytes);
// Decimal or 0x-prefixed hexadecimal, whole text, no sign, at most 32 bits.
bool parseNumber(const char* text, std::uint32_t& value);
