// Identify only: what every switch in reach carries, and what an update would
// do to it, without changing any of them.
#pragma once
#include "app/startup.h"
#include "format/sinks.h"
#include "isp/identity.h"

struct RunReport;

// Probes every port of the range (never stopping at the first switch) and
// prints one line for each switch that answers: model, product id, PCB
// revision, installed version, the image made for it and its version, and
// whether that image is newer, the same, older or not compatible. Nothing is
// erased, written or restarted. Returns EXIT_COMPLETED when a switch was
// found, EXIT_NOTHING_TO_UPDATE when none.
// With a report, every port tried gets its entry; Ctrl-C then ends the probing
// as it stands (EXIT_FAILED).
int identifySwitches(const PortRange& range, RunReport* report);

// "<model>\n   version 3.03, product id 0x56, PCB revision 3": how a listing
// names a switch (--info and --all), each line within 80 columns after its port.
void describeSwitch(const OutputSink* out, const DeviceIdentity& identity);

// How a listing names a switch that cannot be identified.
constexpr char UNIDENTIFIED_SWITCH[] = "a switch in its bootloader without firmware information";
