#include <cstdio>

#include "console/reply_scanner.h"
#include "console/text_number.h"
#include "format/sinks.h"
#include "format/support_trace.h"
#include "link/clock.h"

namespace {

constexpr int REPLY_LAST_SLOT = REPLY_TEXT_SIZE - 2;   // "$" lands here at the latest
constexpr std::int32_t DSP_PROGRESS_CODE = 100;
constexpr std::uint32_t DSP_UPDATE_STEPS = 6;

bool isAsciiLetter(char c) {
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z');
}

bool tokenMatches(const char* token, const char* reply) {
    int length = static_cast<unsigned char>(token[0]);
    for (int i = 0; i < length; ++i)
        if (reply[i] != token[1 + i]) return false;
    return !isAsciiLetter(reply[length]);
}

// The switch counts its steps from 0; step 5 of 6 is complete.
std::uint32_t stepPercentage(std::int32_t step) {
    // Wrapping arithmetic: the step is the switch's word and is not range-checked.
    auto scaled = static_cast<std::int32_t>((static_cast<std::uint32_t>(step) + 1u) * 100u);
    return static_cast<std::uint32_t>(scaled / static_cast<std::int32_t>(DSP_UPDATE_STEPS));
}

void reportDspProgress(ReplyScanner& scanner, const char* cursor) {
    skipCharacter(&cursor);
    auto bank = static_cast<std::uint32_t>(readSignedNumber(&cursor));
    skipCharacter(&cursor);
    std::int32_t step = readSignedNumber(&cursor);
    if (step == 0) sinkMessage(scanner.out, "\n");
    sinkMessage(scanner.out, "\rUpdating DSPs: Bank = %u, Complete = %3u%%", bank, stepPercentage(step));
    scanner.lastDspProgressTime = msNow();
}

}   // namespace

void feedReplyByte(ReplyScanner& scanner, int byte) {
    auto c = static_cast<signed char>(byte);
    if (c < 32) return;
    if (c == '^') {
        scanner.length = 0;
    } else if (c == '$') {
        scanner.text[scanner.length++] = '$';
        scanner.text[scanner.length] = '\0';
        traceReceived(scanner.traceTag, scanner.text);
        matchReplyTokens(scanner, scanner.text);
        scanner.length = 0;
    } else {
        scanner.text[scanner.length] = c;
        if (scanner.length < REPLY_LAST_SLOT) ++scanner.length;
    }
}

int matchReplyTokens(ReplyScanner& scanner, const char* reply) {
    for (const ReplyToken* row = replyTokens; row->token != nullptr; ++row) {
        if (tokenMatches(row->token, reply)) {
            row->handler(scanner, reply);
            return 0;
        }
    }
    return 1;
}

void onSetZone(ReplyScanner&, const char*) {}

void onNotice(ReplyScanner& scanner, const char* reply) {
    const char* cursor = reply + 1;   // past the "!"
    if (readSignedNumber(&cursor) == DSP_PROGRESS_CODE)
        reportDspProgress(scanner, cursor);
    else
        sinkMessage(scanner.out, "%s", reply);
}

void onReady(ReplyScanner& scanner, const char*) {
    scanner.appReady = 1;
}

void onVersionNotice(ReplyScanner&, const char*) {}
