// Finding the switch: the port scan and the choice of the image made for it.
#pragma once
#include <cstddef>
#include <memory>

#include "app/session.h"
#include "app/startup.h"

struct RunReport;

// Picks the compiled-in image whose product id and PCB revision equal the
// identified switch's into the session's image cursor and announces the
// switch. True on a match; otherwise the cursor's base and header are null.
// A damaged image sets the session's imageCorrupt and counts as a match.
bool matchImage(Session& session);

// Probes every port of the range at once and chooses the lowest that holds a
// switch an image is made for (with a single port argument: that port once it
// opens). Returns its session, left open at 19200 baud; null when there is
// none to update, `*status` then telling the run's exit status. With a report,
// every port shown gets its entry.
std::unique_ptr<Session> scanPorts(const PortRange& range, int* status, RunReport* report);

// Reports that the scan found no switch to work on; EXIT_NOTHING_TO_UPDATE.
int reportNoSwitchFound();

// Index of the compiled-in image made for the identified switch (same product
// id and PCB revision); -1 when there is none. Prints nothing.
int imageIndexFor(const DeviceIdentity& identity);
