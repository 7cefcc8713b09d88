// The program's own formatting engine: walks a format string and hands every
// character to an output function. No buffering, no allocation.
//
// Arguments are read from a va_list: numbers (and "*", "@", the length of "S")
// as 32-bit ints, texts ("s", "S") as const char*. Callers must pass exactly
// those types; the engine does not check.
#pragma once
#include <cstdarg>
#include <cstdint>

// Receives one character (sign-extended from 8 bits) and the caller's context.
using EmitFn = void (*)(int character, void* context);

constexpr unsigned NUMBER_SPACE_PAD = 1;   // number flag bit 0: pad with spaces
constexpr unsigned NUMBER_GROUPING = 2;    // number flag bit 1: thousands separators

enum SignMode { SIGN_NONE = 0, SIGN_NEGATIVE = 1, SIGN_PLUS = 2, SIGN_SPACE = 3 };

void formatOutput(EmitFn emit, void* context, const char* format, std::va_list args);

// Emits one number; returns the characters emitted, leading spaces included.
int formatNumber(EmitFn emit, void* context, std::uint32_t value, int base, int digitCount, int signMode,
                 unsigned numberFlags, int prefixCharacter);

// Emits `count` spaces when enabled and count > 0; returns what it emitted.
int padSpaces(EmitFn emit, void* context, int enabled, int count);
