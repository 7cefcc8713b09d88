#include "link/net_lookup.h"

#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

namespace {

// Shared by the waiting caller and the lookup's thread; the last one out frees it.
struct Lookup {
    LookupCalls calls;
    std::string host, service;
    std::mutex mutex;
    std::condition_variable done;
    bool finished = false;
    bool abandoned = false;
    int result = 0;
    void* found = nullptr;
};

void runLookup(const std::shared_ptr<Lookup>& lookup) {
    void* found = nullptr;
    const int result = lookup->calls.lookup(lookup->host.c_str(), lookup->service.c_str(), &found);
    std::lock_guard<std::mutex> lock(lookup->mutex);
    if (lookup->abandoned) {
        if (result == 0) lookup->calls.release(found);
        return;
    }
    lookup->result = result;
    lookup->found = found;
    lookup->finished = true;
    lookup->done.notify_one();
}

}   // namespace

int lookupWithin(const LookupCalls& calls, const char* host, const char* service, unsigned timeoutMs, void** found) {
    auto lookup = std::make_shared<Lookup>();
    lookup->calls = calls;
    lookup->host = host;
    lookup->service = service;
    std::thread(runLookup, lookup).detach();
    std::unique_lock<std::mutex> lock(lookup->mutex);
    if (!lookup->done.wait_for(lock, std::chrono::milliseconds(timeoutMs), [&] { return lookup->finished; })) {
        lookup->abandoned = true;
        return LOOKUP_TIMED_OUT;
    }
    *found = lookup->found;
    return lookup->result;
}
