// What a run did on each port it tried, kept for the document that --json
// writes to standard output when the run ends.
#pragma once
#include <cstdint>
#include <string>
#include <vector>

#include "app/outcome.h"
#include "isp/identity.h"

struct Session;

struct PortReport {
    std::string port;   // as the messages name it
    bool found = false;   // a switch answered
    int state = 0;        // a LINK_ value
    DeviceIdentity identity{};
    std::uint32_t imageVersion = 0;   // of the image made for the switch; 0: none
    SwitchResult result = SWITCH_NOT_FOUND;
    std::string error;         // the last message of a failed pass, or why the port did not open
    std::uint32_t endedMs = 0;   // from the start of the run
};

struct RunReport {
    const char* mode = "update";   // "info", "update" or "all"
    std::uint32_t startedAt = 0;   // msNow() at the start of the run
    std::vector<PortReport> ports;   // in the order tried
};

// Adds the port of a session once its probe is over (as the console shows
// it), with `result` and `error` (nullptr: none); the session keeps its index.
void reportProbedPort(RunReport* report, Session& session, SwitchResult result, const char* error);

// Brings the session's entry up to date with its outcome and the time now.
void reportOutcome(RunReport* report, const Session& session, const char* error);

// Writes the document (one JSON object, UTF-8) and a line end to standard output.
void printRunDocument(const RunReport& report, int status);
