// What an update would do to a switch with an image: the one verdict the
// single-switch run, --info and --all act on.
#pragma once
#include "image/image.h"
#include "isp/identity.h"

enum UpdateVerdictKind : int {
    VERDICT_UNCATALOGUED,   // the switch's product id and PCB revision are not in the catalogue
    VERDICT_NO_IMAGE,       // no image is made for the switch
    VERDICT_INCOMPATIBLE,   // the image may not go on the switch (see `compatibility`)
    VERDICT_UPDATE,         // the image is newer, or the installed version is unknown
    VERDICT_SAME,           // the switch runs the image's version
    VERDICT_OLDER,          // the switch runs a newer version than the image's
};

struct UpdateVerdict {
    UpdateVerdictKind kind;
    int compatibility;   // checkCompatibility's result; COMPATIBLE unless kind is VERDICT_INCOMPATIBLE
};

// Judges the switch against the image the cursor selects (base null: none).
UpdateVerdict judgeUpdate(const DeviceIdentity& identity, const ImageCursor& image);

// True for the verdicts that let the image go on the switch.
bool verdictCompatible(const UpdateVerdict& verdict);
