// The --json document, written with a well-kept JSON library rather than by
// hand: the switch's own text may hold any byte.
#include <cstdio>
#include <nlohmann/json.hpp>

#include "app/report.h"
#include "app/startup.h"
#include "catalog/version.h"

namespace {

using Json = nlohmann::ordered_json;   // keys in the order the schema lists them

// The switch's bytes as the Latin-1 characters they are, encoded as UTF-8.
std::string latin1(const char* text) {
    std::string utf8;
    for (const unsigned char* byte = reinterpret_cast<const unsigned char*>(text); *byte != '\0'; ++byte) {
        if (*byte < 0x80) {
            utf8.push_back(static_cast<char>(*byte));
        } else {
            utf8.push_back(static_cast<char>(0xC0 | (*byte >> 6)));
            utf8.push_back(static_cast<char>(0x80 | (*byte & 0x3F)));
        }
    }
    return utf8;
}

Json versionOrNull(std::uint32_t version) {
    return version == 0 ? Json(nullptr) : Json(formatVersion(version).text);
}

const char* stateName(int state) {
    if (state == LINK_APPLICATION) return "application";
    return state == LINK_BOOTLOADER || state == LINK_BOOTLOADER_NO_TABLE ? "bootloader" : nullptr;
}

const char* resultName(SwitchResult result) {
    static constexpr const char* NAMES[] = {"not-opened",     "not-found", "identified", "up-to-date",
                                            "left-alone",     "not-compatible", "updated", "declined",
                                            "failed",         "interrupted"};
    static_assert(sizeof NAMES / sizeof NAMES[0] == SWITCH_INTERRUPTED + 1, "a name for every result");
    return NAMES[result];
}

Json portObject(const PortReport& entry) {
    const char* state = entry.found ? stateName(entry.state) : nullptr;
    const char* model = entry.found ? modelNameOf(entry.identity) : nullptr;
    Json object;
    object["port"] = entry.port;
    object["found"] = entry.found;
    object["state"] = state != nullptr ? Json(state) : Json(nullptr);
    object["model"] = model != nullptr && model[0] != '\0' ? Json(latin1(model)) : Json(nullptr);
    object["product_id"] = entry.found ? Json(entry.identity.productId) : Json(nullptr);
    object["pcb_revision"] = entry.found ? Json(entry.identity.pcbRevision) : Json(nullptr);
    object["installed_version"] = entry.found ? versionOrNull(entry.identity.version) : Json(nullptr);
    object["image_version"] = versionOrNull(entry.imageVersion);
    object["result"] = resultName(entry.result);
    object["error"] = entry.error.empty() ? Json(nullptr) : Json(entry.error);
    object["seconds"] = entry.endedMs / 1000.0;
    return object;
}

}   // namespace

void printRunDocument(const RunReport& report, int status) {
    Json document;
    document["program"] = "bmfwu";
    document["version"] = std::to_string(BANNER_MAJOR) + "." + std::to_string(BANNER_MINOR);
    document["schema"] = 1;
    document["mode"] = report.mode;
    document["status"] = status;
    document["switches"] = Json::array();
    for (const PortReport& entry : report.ports) document["switches"].push_back(portObject(entry));
    // Port names are the user's bytes: anything that is not UTF-8 is replaced, never a failure.
    const std::string text = document.dump(2, ' ', false, Json::error_handler_t::replace) + "\n";
    std::fwrite(text.data(), 1, text.size(), stdout);
    std::fflush(stdout);
}
