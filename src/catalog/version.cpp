#include <cctype>
#include <cstdio>
#include <cstring>

#include "catalog/version.h"
#include "format/sinks.h"
#include "link/keyboard.h"

namespace {

unsigned majorOf(std::uint32_t version) {
    return version >> 24;
}
unsigned minorOf(std::uint32_t version) {
    return (version >> 16) & 0xFFu;
}
unsigned letterOf(std::uint32_t version) {
    return (version >> 12) & 0xFu;
}
unsigned betaOf(std::uint32_t version) {
    return version & 0x3Fu;
}

const char* printable(const char* text) {
    return text != nullptr ? text : "(null)";
}

void printSpaces(int count) {
    for (int i = 0; i < count; ++i) consolePutChar(' ');
}

}   // namespace

int readYesNo() {
    for (;;) {
        int key = kbdGetch();
        if (key == KEY_END_OF_INPUT) return 'N';
        int answer = std::toupper(key);
        if (answer == 'Y' || answer == 'N') return answer;
    }
}

VersionText formatVersion(std::uint32_t version) {
    VersionText versionText;
    TextBuffer text;
    textBufferInit(&text, versionText.text, sizeof versionText.text);
    if (version == 0) {
        textBufferPutString(&text, "None");
        return versionText;
    }
    textBufferPrintf(&text, "%u.%02u", majorOf(version), minorOf(version));
    if (betaOf(version) != 0) textBufferPrintf(&text, ".%02u", betaOf(version));
    if (letterOf(version) != 0) textBufferPutChar(&text, static_cast<int>(0x60 + letterOf(version)));
    if (betaOf(version) != 0) textBufferPutString(&text, "(Beta)");
    return versionText;
}

int versionTextWidth(std::uint32_t version) {
    return static_cast<int>(std::strlen(formatVersion(version).text));
}

void printVersionField(std::uint32_t version, int spaces) {
    consoleMessage("%s,", formatVersion(version).text);
    printSpaces(spaces);
}

void showVersions(const DeviceIdentity* identity, const FirmwareImage* header) {
    int currentWidth = versionTextWidth(identity->version);
    int updateWidth = versionTextWidth(header->version);
    int currentSpaces = 1;
    int updateSpaces = 1;
    if (currentWidth > updateWidth)
        updateSpaces = currentWidth - updateWidth + 1;
    else
        currentSpaces = updateWidth - currentWidth + 1;
    consoleMessage("\n Current Version: ");
    printVersionField(identity->version, currentSpaces);
    consoleMessage("Model: %s", printable(modelNameOf(*identity)));
    consoleMessage("\n Update Version:  ");
    printVersionField(header->version, updateSpaces);
    // The header's name field need not hold a terminator.
    consoleMessage("Model: %.*s", static_cast<int>(sizeof header->modelName), header->modelName);
}

int confirmVersion(const DeviceIdentity* identity, const ImageCursor* cursor, int automaticAnswer) {
    const FirmwareImage* header = cursor->header;
    const char* model = printable(modelNameOf(*identity));
    const char* question;
    if (identity->version == header->version) {
        consoleMessage("\nThe firmware version inside the %s matches this update.\n", model);
        question = "\n\nUpdate anyway? (Y,N) ";
    } else if (identity->version < header->version) {
        consoleMessage("\n\nThis update is newer than the firmware inside the %s.\n", model);
        question = "\n\nContinue with update to newer version? (Y,N) ";
    } else {
        consoleMessage("\n\nThis update is OLDER than the firmware inside the %s!\n", model);
        question = "\n\nAre you sure you want to update with an OLDER version of firmware? (Y,N) ";
    }
    showVersions(identity, header);
    consoleMessage("%s", question);
    int answer = automaticAnswer != 0 ? automaticAnswer : readYesNo();
    consoleMessage("%c\n", answer);
    if (answer == 'Y') return 1;
    consoleMessage("\nUpdate canceled.\n\n");
    return 0;
}
