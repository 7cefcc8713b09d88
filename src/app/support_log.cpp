#include "app/support_log.h"

#include <cerrno>
#include <cstring>
#include <ctime>

#include "app/startup.h"
#include "catalog/version.h"
#include "firmware/firmware.h"
#include "format/sinks.h"
#include "format/support_trace.h"
#include "image/image.h"

namespace {

constexpr int HEADER_CAPACITY = 512;

// The header's model names come from compiled-in data that is only checked
// later in the run: keep to printable characters.
void putModelName(TextBuffer* text, const char* name) {
    for (int i = 0; i < static_cast<int>(sizeof FirmwareImage::modelName) && name[i] != '\0'; ++i) {
        const auto c = static_cast<unsigned char>(name[i]);
        if (c >= 0x20 && c < 0x7F) textBufferPutChar(text, c);
    }
}

void putImage(TextBuffer* text, int index) {
    textBufferPrintf(text, "; image %d: ", index + 1);
    if (firmwareImageSizes[index] < sizeof(FirmwareImage)) {
        textBufferPutString(text, "too short");
        return;
    }
    FirmwareImage header;
    std::memcpy(&header, firmwareImages[index], sizeof header);
    textBufferPutChar(text, '"');
    putModelName(text, header.modelName);
    textBufferPrintf(text, "\" product 0x%02X PCB %u version %s", header.productId, header.pcbRevision,
                     formatVersion(header.version).text);
}

void writeHeader() {
    char storage[HEADER_CAPACITY];
    TextBuffer text;
    textBufferInit(&text, storage, sizeof storage);
    char when[32] = "unknown time";
    const std::time_t now = std::time(nullptr);
    const std::tm* utc = std::gmtime(&now);
    if (utc != nullptr) std::strftime(when, sizeof when, "%Y-%m-%d %H:%M:%S UTC", utc);
    textBufferPrintf(&text, "==== bmfwu support log, %s, program version %d.%d", when, BANNER_MAJOR, BANNER_MINOR);
    for (int index = 0; index < FIRMWARE_IMAGE_COUNT; ++index) putImage(&text, index);
    supportLogPlainLine(storage);
}

}   // namespace

int startSupportLog(const char* path) {
    const int error = path != nullptr ? supportLogOpen(path) : EINVAL;
    if (error != 0) return error;
    writeHeader();
    setConsoleMirror(supportLogConsole);
    return 0;
}

void reportUnopenableLog(const char* path, int error) {
    consoleMessage("\nCannot open the log file \"%s\": %s\n", path != nullptr ? path : "", std::strerror(error));
}
