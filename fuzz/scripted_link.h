// The serial port of the fuzz targets: a peer whose answers come from the
// fuzzer, behind the port's operation table. The clock is linked in place of
// the real one (fake_clock.cpp).
#pragma once
#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>

#include "isp/link.h"

// Separates the peer's answers in a script: the first answer is delivered
// when the host ends its first line (CR), the next on the next CR, and so on.
constexpr std::uint8_t SCRIPT_SEPARATOR = 0xFE;

// The link every target drives over the scripted peer; one per target, since
// libFuzzer's entry point takes nothing but the input.
extern SwitchLink scriptedLink;

// Makes scriptedLink fresh, its port open at 19200 with nothing waiting;
// `script` (not owned, must outlive the run) feeds the answers. An empty
// script gives a peer that never answers.
void linkReset(const std::uint8_t* script, std::size_t size);

// Replaces the scripted answers by a function of each host line (CR cut off,
// LF dropped); what it returns becomes received input.
void linkRespondWith(std::function<std::string(const std::string& line)> responder);

// Queues bytes as if the peer had sent them unasked.
void linkFeed(const std::uint8_t* bytes, std::size_t size);

// Bytes received and not yet read by the host.
std::size_t linkPending();

// Spends time on the fake clock.
void fakeClockAdvance(std::uint32_t duration);
