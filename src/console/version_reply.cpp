#include <cstring>

#include "catalog/catalog.h"
#include "console/identity_query.h"
#include "console/text_number.h"

namespace {

constexpr char VERSION_REPLY_PREFIX[] = "^=V \"";
constexpr int NAME_LIMIT = 31;

// Copies the quoted name; leaves the cursor on the closing quote when found.
void copyName(DeviceIdentity* identity, const char** cursor) {
    int count = 0;
    const char* p = *cursor;
    while (count < NAME_LIMIT && *p != '\0' && *p != '"') identity->nameText[count++] = *p++;
    identity->nameText[count] = '\0';
    *cursor = p;
}

// major.minor[.sub][letter]; the fields are not masked, so an out-of-range
// value carries into its neighbour exactly as the switch's own arithmetic does.
void readVersion(DeviceIdentity* identity, const char** cursor) {
    identity->version = readUnsignedNumber(cursor, 10) << 24;
    skipCharacter(cursor);
    identity->version += readUnsignedNumber(cursor, 10) * 65536u;
    if (**cursor == '.') {
        skipCharacter(cursor);
        identity->version += readUnsignedNumber(cursor, 10);
    }
    if (**cursor >= 'a' && **cursor <= 'z') {
        identity->version += static_cast<std::uint32_t>(**cursor - 96) * 4096u;
        skipCharacter(cursor);
    }
}

// Skips "(...)". Returns false when the text ends before the ")".
bool skipRemark(const char** cursor) {
    if (**cursor != '(') return true;
    const char* close = std::strchr(*cursor, ')');
    if (close == nullptr) return false;
    *cursor = close + 1;
    return true;
}

void readIdentification(DeviceIdentity* identity, const char** cursor) {
    if (**cursor != ',') return;
    skipCharacter(cursor);
    identity->productId = static_cast<std::uint16_t>(readUnsignedNumber(cursor, 10));
    skipCharacter(cursor);
    identity->pcbRevision = static_cast<std::uint16_t>(readUnsignedNumber(cursor, 10));
    skipCharacter(cursor);
    readUnsignedNumber(cursor, 16);   // sent by the switch, of no use here
}

}   // namespace

int parseVersionReply(DeviceIdentity* identity, const char* reply) {
    if (std::strncmp(reply, VERSION_REPLY_PREFIX, sizeof VERSION_REPLY_PREFIX - 1) != 0) return VERSION_REPLY_NONE;
    const char* cursor = reply + sizeof VERSION_REPLY_PREFIX - 1;
    copyName(identity, &cursor);
    if (*cursor != '"') return VERSION_REPLY_BAD_NAME;
    skipCharacter(&cursor);
    skipCharacter(&cursor);
    readVersion(identity, &cursor);
    if (!skipRemark(&cursor)) return VERSION_REPLY_TRAILING;
    readIdentification(identity, &cursor);
    if (*cursor != '\0') return VERSION_REPLY_TRAILING;
    identity->ownName = identity->nameText[0] != '\0';
    identity->catalogueName = identity->ownName ? nullptr : lookupModelName(identity->productId, identity->pcbRevision);
    return VERSION_REPLY_OK;
}
