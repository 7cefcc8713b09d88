// Network port names, the same on every platform.
#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "link/port_list.h"

namespace {

constexpr char SCHEME_MARK[] = "://";
constexpr char RFC2217_SCHEME[] = "rfc2217";
constexpr std::size_t RFC2217_SCHEME_LENGTH = sizeof RFC2217_SCHEME - 1;
constexpr unsigned long LARGEST_TCP_PORT = 65535;

struct UrlParts {
    const char* host;
    std::size_t hostLength;
    const char* service;
};

bool isHostCharacter(char character, bool bracketed) {
    const auto byte = static_cast<unsigned char>(character);
    if (std::isalnum(byte) != 0 || character == '-' || character == '.') return true;
    return bracketed ? character == ':' || character == '%' : character == '_';
}

bool validService(const char* service) {
    if (*service == '\0' || std::strlen(service) > 5) return false;
    for (const char* at = service; *at != '\0'; ++at)
        if (std::isdigit(static_cast<unsigned char>(*at)) == 0) return false;
    const unsigned long number = std::strtoul(service, nullptr, 10);
    return number >= 1 && number <= LARGEST_TCP_PORT;
}

// HOST:PORT or [HOST]:PORT after the scheme.
bool splitAuthority(const char* authority, UrlParts* parts) {
    const bool bracketed = authority[0] == '[';
    const char* hostEnd = bracketed ? std::strchr(authority, ']') : std::strrchr(authority, ':');
    if (hostEnd == nullptr) return false;
    parts->host = authority + (bracketed ? 1 : 0);
    parts->hostLength = static_cast<std::size_t>(hostEnd - parts->host);
    const char* colon = bracketed ? hostEnd + 1 : hostEnd;
    if (*colon != ':' || parts->hostLength == 0) return false;
    for (std::size_t at = 0; at < parts->hostLength; ++at)
        if (!isHostCharacter(parts->host[at], bracketed)) return false;
    parts->service = colon + 1;
    return validService(parts->service);
}

bool isRfc2217Scheme(const char* name, std::size_t length) {
    if (length != RFC2217_SCHEME_LENGTH) return false;
    for (std::size_t at = 0; at < length; ++at)
        if (std::tolower(static_cast<unsigned char>(name[at])) != RFC2217_SCHEME[at]) return false;
    return true;
}

}   // namespace

int comPortUrlKind(const char* name) {
    const char* mark = name != nullptr ? std::strstr(name, SCHEME_MARK) : nullptr;
    if (mark == nullptr || mark == name) return PORT_URL_NONE;
    for (const char* at = name; at < mark; ++at)
        if (std::isalnum(static_cast<unsigned char>(*at)) == 0 && *at != '+' && *at != '-' && *at != '.')
            return PORT_URL_NONE;
    if (!isRfc2217Scheme(name, static_cast<std::size_t>(mark - name))) return PORT_URL_OTHER_SCHEME;
    UrlParts parts{};
    const bool fits = std::strlen(name) < PORT_DEVICE_SIZE;
    return fits && splitAuthority(mark + sizeof SCHEME_MARK - 1, &parts) ? PORT_URL_RFC2217 : PORT_URL_MALFORMED;
}

int comSplitPortUrl(const char* name, char* host, std::size_t hostSize, char* service, std::size_t serviceSize) {
    if (comPortUrlKind(name) != PORT_URL_RFC2217) return 0;
    UrlParts parts{};
    splitAuthority(std::strstr(name, SCHEME_MARK) + sizeof SCHEME_MARK - 1, &parts);
    const int hostLength = std::snprintf(host, hostSize, "%.*s", static_cast<int>(parts.hostLength), parts.host);
    const int serviceLength = std::snprintf(service, serviceSize, "%s", parts.service);
    return hostLength >= 0 && static_cast<std::size_t>(hostLength) < hostSize && serviceLength >= 0 &&
                   static_cast<std::size_t>(serviceLength) < serviceSize
               ? 1
               : 0;
}
