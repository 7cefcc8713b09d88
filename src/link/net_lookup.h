// A name lookup that gives up at a deadline of its own. The system's resolver
// may wait far longer than a connection is given (a DNS server that never
// answers); it cannot be cancelled, so it runs on a thread of its own, and an
// answer that comes after the deadline is released by that thread. Private to src/link.
#pragma once

// The platform's calls: `lookup` returns 0 with the addresses in *found, or
// its error code; `release` frees what `lookup` found.
struct LookupCalls {
    int (*lookup)(const char* host, const char* service, void** found);
    void (*release)(void* found);
};

constexpr int LOOKUP_TIMED_OUT = -1000000;   // no platform's resolver error

// The result of `calls.lookup`, or LOOKUP_TIMED_OUT once `timeoutMs` have passed.
int lookupWithin(const LookupCalls& calls, const char* host, const char* service, unsigned timeoutMs, void** found);
