// Cuts what the switch application sends during an update into replies framed
// by "^" and "$", and acts on the few replies the update loop cares about.
#pragma once
#include <cstdint>

#include "format/sinks.h"

constexpr int REPLY_TEXT_SIZE = 256;

// One switch's scanner, part of its session.
struct ReplyScanner {
    // The reply being collected, without its "^"; once complete it ends in "$"
    // and a terminator. At most REPLY_TEXT_SIZE - 2 characters precede the "$":
    // a longer reply is cut to its first 254 characters.
    char text[REPLY_TEXT_SIZE];
    int length = 0;
    int appReady = 0;                        // 1 once the application reported "=P"
    std::uint32_t lastDspProgressTime = 0;   // msNow() of the last DSP progress report
    const OutputSink* out = nullptr;         // where DSP progress goes; nullptr: the console
    const char* traceTag = nullptr;          // the port's name on the support log beside others
};

// Takes one received byte (only its low 8 bits count). Bytes below 0x20 and
// from 0x80 up are ignored; "^" starts a reply afresh; "$" completes it and
// hands it to matchReplyTokens.
void feedReplyByte(ReplyScanner& scanner, int byte);

// Runs the handler of the first token the reply begins with, where the token
// is not followed directly by a letter. `reply` is a complete reply without
// its "^", NUL-terminated; only read. Returns 0 when a handler ran, 1 when none.
int matchReplyTokens(ReplyScanner& scanner, const char* reply);

// A handler receives the whole reply text that matched its token.
using ReplyHandler = void (*)(ReplyScanner& scanner, const char* reply);

void onSetZone(ReplyScanner& scanner, const char* reply);         // recognised, no action
void onNotice(ReplyScanner& scanner, const char* reply);          // DSP progress line, or the notice text as is
void onReady(ReplyScanner& scanner, const char* reply);           // sets appReady
void onVersionNotice(ReplyScanner& scanner, const char* reply);   // recognised, no action

struct ReplyToken {
    const char* token;   // a length byte, then that many characters; nullptr ends the table
    ReplyHandler handler;
};

// Tried in this order; the first match wins.
inline constexpr ReplyToken replyTokens[] = {
    {"\x03=SZ", onSetZone}, {"\x01!", onNotice}, {"\x02=P", onReady}, {"\x02=V", onVersionNotice}, {nullptr, nullptr},
};
static_assert(sizeof(replyTokens) / sizeof(replyTokens[0]) == 5, "four tokens and the end row");
