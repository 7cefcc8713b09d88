// Probing every port of a range at once: one session and one thread per
// port. The console shows each port's lines as one block, in port order,
// exactly as probing one port after the other shows them.
#pragma once
#include <memory>
#include <vector>

#include "app/session.h"
#include "app/startup.h"

struct RunReport;

// What a port's probe found.
constexpr int PORT_SWITCH_ANSWERED = 0;   // the port opened and the probe identified a switch
constexpr int PORT_NO_ANSWER = 1;         // the port opened; nothing answered
constexpr int PORT_NOT_OPENED = 2;        // the port could not be opened (or did not open within 3 s)

// Runs on the port's thread once the probe identified a switch; may talk to
// it further and print into the session. True when the session is wanted.
using AfterProbe = bool (*)(Session& session);

struct ProbeOptions {
    AfterProbe afterProbe;   // nullptr: nothing more than the probe
    bool stopAtWanted;       // the first wanted port (in port order) ends the probing of the others
    bool keepOpened;         // every port that opened is wanted, switch or not
    RunReport* report;       // each port shown gets its entry (with --json); nullptr: none
    bool listing;            // ports where no switch answered are named on one line at the end
};

struct ProbeOutcome {
    std::unique_ptr<Session> chosen;   // the first wanted port's session, left open; null when none
    int switches;                      // ports where a switch answered, up to the chosen one
    bool interrupted;                  // Ctrl-C ended the probing (runs with a report)
    // Without stopAtWanted: every port's session in port order (but one whose
    // open was given up), the wanted ones left open.
    std::vector<std::unique_ptr<Session>> sessions;
};

// Probes the ports of `range`, showing their blocks in order. Every port but
// the chosen (or the wanted) ones is closed when this returns.
ProbeOutcome probePorts(const PortRange& range, const ProbeOptions& options);
