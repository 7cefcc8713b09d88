// One UU-encoded data line of the ISP protocol: a length character, then four
// characters per three bytes. A zero sextet is written as 0x60 and read from
// either 0x60 or a space. No line ends, no checksums: those belong to the
// commands that move the data.
#pragma once
#include <cstdint>

constexpr int UU_LINE_CAPACITY = 62;   // 61 characters for 45 bytes, and the NUL

// Writes the line for the `n` bytes at `data` (0..45) into `out`, which holds
// at least UU_LINE_CAPACITY characters, and terminates it. Returns the
// position of the terminating NUL.
char* uuEncodeLine(char* out, const std::uint8_t* data, int n);

// Decodes the NUL-terminated `line` into `out`, storing at most `limit` bytes.
// Returns the bytes stored: the smaller of the length character's value and
// `limit` (0 for an empty line or limit < 1). Characters are not range-checked;
// the decoder never reads past the terminator, and characters missing from a
// short line decode as zero bits, left for the chunk checksum to catch.
int uuDecodeLine(std::uint8_t* out, const char* line, int limit);
