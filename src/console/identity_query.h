// Asking the running switch application who it is: the "^V$" request and the
// version reply it answers with.
#pragma once
#include "isp/link.h"

// Result codes of both functions below.
enum : int {
    VERSION_REPLY_OK = 0,         // identity filled, its model named
    VERSION_REPLY_NONE = 1,       // no reply line, too many keep-alives, or not a version reply
    VERSION_REPLY_BAD_NAME = 2,   // the name is not closed by a quote within 31 characters
    VERSION_REPLY_TRAILING = 3,   // text after the last field, or an unclosed "(" remark
    VERSION_REPLY_UNCONFIRMED = 4,   // queryVersionAgreed: no two of its replies agreed
};

// Sends "^V$" on the link's port, resets productId, pcbRevision, version and
// nameText of *identity (ownName and catalogueName are left alone), and parses the first reply
// line that is not a keep-alive ("^+"). At most VERSION_KEEPALIVE_LIMIT
// keep-alives are skipped, so a chattering switch cannot hold the probe.
// Returns the codes above. Needs an open port.
constexpr int VERSION_KEEPALIVE_LIMIT = 8;
int queryVersion(SwitchLink& link, DeviceIdentity* identity);

// The version reply carries no checksum, so one damaged on its way back would
// be shown and acted on as it came: asks as queryVersion does until two
// replies agree, at most VERSION_ASKS times. The agreed result and identity,
// or VERSION_REPLY_UNCONFIRMED with the fields reset as queryVersion does.
constexpr int VERSION_ASKS = 3;
int queryVersionAgreed(SwitchLink& link, DeviceIdentity* identity);

// Parses one reply line as the line reader delivers it: beginning with "^",
// without the "$", NUL-terminated. Form:
//   ^=V "name" major.minor[.sub][letter][(remark)][,productId,pcbRevision,hex]
// On 0 every field is written and the model is named by nameText, or by the
// catalogue's name when the name is empty (nullptr when there is none). On 2
// and 3 the fields parsed so far keep their values and ownName and
// catalogueName are unchanged; on 1 nothing is written. The reply is only read; *identity is the caller's.
int parseVersionReply(DeviceIdentity* identity, const char* reply);
