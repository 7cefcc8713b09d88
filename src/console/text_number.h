// Reading numbers out of reply texts the way the switch writes them: leading
// white space, an optional sign, the longest run of digits. Where no digit
// follows, the value is 0 and the cursor stays where it was.
#pragma once
#include <cstdint>

// Base 10 or 16 (16 accepts an optional "0x"/"0X"). "-" negates modulo 2^32;
// a value beyond 32 bits reads as 0xFFFFFFFF. Moves *cursor past the number.
std::uint32_t readUnsignedNumber(const char** cursor, int base);

// Base 10, clamped to the signed 32-bit range. Moves *cursor past the number.
std::int32_t readSignedNumber(const char** cursor);

// Moves the cursor on by one character unless it stands on the terminator.
inline void skipCharacter(const char** cursor) {
    if (**cursor != '\0') ++*cursor;
}
