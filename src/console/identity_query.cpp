#include <cstring>

#include "console/identity_query.h"
#include "isp/line.h"
#include "link/serial.h"

namespace {

constexpr char VERSION_REQUEST[] = "^V$";
constexpr int REPLY_LINE_CAPACITY = 100;

void resetIdentity(DeviceIdentity* identity) {
    identity->productId = 0;
    identity->pcbRevision = 0;
    identity->version = 0;
    identity->nameText[0] = '\0';
}

// The application sends "^+$" on its own now and then; such a line may come
// before the answer to our request.
bool isKeepAlive(const char* line) {
    return std::strcmp(line, "^+") == 0;
}

bool sameIdentity(const DeviceIdentity& a, const DeviceIdentity& b) {
    return a.productId == b.productId && a.pcbRevision == b.pcbRevision && a.version == b.version &&
           a.ownName == b.ownName && a.catalogueName == b.catalogueName && std::strcmp(a.nameText, b.nameText) == 0;
}

}   // namespace

int queryVersion(SwitchLink& link, DeviceIdentity* identity) {
    int written = sendText(link, VERSION_REQUEST);
    resetIdentity(identity);
    if (written != static_cast<int>(sizeof VERSION_REQUEST - 1)) return VERSION_REPLY_NONE;
    char line[REPLY_LINE_CAPACITY];
    for (int keepAlives = 0; keepAlives <= VERSION_KEEPALIVE_LIMIT; ++keepAlives) {
        if (readLineDollar(link, line, REPLY_LINE_CAPACITY) < 0) return VERSION_REPLY_NONE;
        if (!isKeepAlive(line)) return parseVersionReply(identity, line);
    }
    return VERSION_REPLY_NONE;
}

int queryVersionAgreed(SwitchLink& link, DeviceIdentity* identity) {
    DeviceIdentity replies[VERSION_ASKS];
    int results[VERSION_ASKS];
    for (int ask = 0; ask < VERSION_ASKS; ++ask) {
        if (ask != 0) drainInput(link);   // what is left of a spoilt reply
        replies[ask] = *identity;
        results[ask] = queryVersion(link, &replies[ask]);
        for (int earlier = 0; earlier < ask; ++earlier) {
            if (results[earlier] != results[ask] || !sameIdentity(replies[earlier], replies[ask])) continue;
            *identity = replies[ask];
            return results[ask];
        }
    }
    resetIdentity(identity);
    return VERSION_REPLY_UNCONFIRMED;
}
