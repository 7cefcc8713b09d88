// Recognising the firmware in a switch whose bootloader has no parameter
// table: an update cut off after the table's sector was erased leaves such a
// switch, with the new application already in its flash.
#pragma once
#include "app/session.h"

// Index of the compiled-in image whose application the flash holds, judged by
// the bootloader comparing the application's last 512-byte block (programmed
// and verified after all the others) against a staged copy; -1 when no image
// or more than one matches. Needs a synchronised bootloader.
int imageInFlash(FlashPass& pass);

// When exactly one image's application is in the flash: fills the session's
// identity with its product id, PCB revision and model name (version 0: the
// installed version is unknown), sets identifiedFromFlash and returns true.
// Otherwise leaves everything as it was and returns false.
bool identifyFromFlash(Session& session);
