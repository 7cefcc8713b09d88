#include <cstdio>

#include "console/reply_scanner.h"
#include "console/text_number.h"
#include "format/sinks.h"
#include "format/support_trace.h"
#include "link/clock.h"

char replyText[REPLY_TEXT_SIZE];
int replyLength = 0;
int appReady = 0;
std::uint32_t lastDspProgressTime = 0;

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

void reportDspProgress(const char* cursor) {
    skipCharacter(&cursor);
    auto bank = static_cast<std::uint32_t>(readSignedNumber(&cursor));
    skipCharacter(&cursor);
    std::int32_t step = readSignedNumber(&cursor);
    if (step == 0) consoleMessage("\n");
    consoleMessage("\rUpdating DSPs: Bank = %u, Complete = %3u%%", bank, stepPercentage(step));
    lastDspProgressTime = msNow();
}

}   // namespace

void feedReplyByte(int byte) {
    auto c = static_cast<signed char>(byte);
    if (c < 32) return;
    if (c == '^') {
        replyLength = 0;
    } else if (c == '$') {
        replyText[replyLength++] = '$';
        replyText[replyLength] = '\0';
        traceReceived(replyText);
        matchReplyTokens(replyText);
        replyLength = 0;
    } else {
        replyText[replyLength] = c;
        if (replyLength < REPLY_LAST_SLOT) ++replyLength;
    }
}

int matchReplyTokens(const char* reply) {
    for (const ReplyToken* row = replyTokens; row->token != nullptr; ++row) {
        if (tokenMatches(row->token, reply)) {
            row->handler(reply);
            return 0;
        }
    }
    return 1;
}

void onSetZone(const char*) {}

void onNotice(const char* reply) {
    const char* cursor = reply + 1;   // past the "!"
    if (readSignedNumber(&cursor) == DSP_PROGRESS_CODE)
        reportDspProgress(cursor);
    else
        consoleMessage("%s", reply);
}

void onReady(const char*) {
    appReady = 1;
}

void onVersionNotice(const char*) {}
