#include "win32_test_util.h"

#include <fcntl.h>
#include <io.h>
#include <windows.h>

#include <cstdio>
#include <cstdlib>

namespace {
char capturePath[MAX_PATH];
}

int beginCapture() {
    char folder[MAX_PATH];
    GetTempPathA(sizeof folder, folder);
    GetTempFileNameA(folder, "bmf", 0, capturePath);
    std::fflush(stdout);
    int saved = _dup(1);
    int file = _open(capturePath, _O_WRONLY | _O_TRUNC | _O_BINARY);
    _dup2(file, 1);
    _close(file);
    _setmode(1, _O_BINARY);
    return saved;
}

std::string endCapture(int savedStdout) {
    std::fflush(stdout);
    _dup2(savedStdout, 1);
    _close(savedStdout);
    _setmode(1, _O_TEXT);
    std::string text;
    if (std::FILE* file = std::fopen(capturePath, "rb")) {
        char chunk[256];
        std::size_t got;
        while ((got = std::fread(chunk, 1, sizeof chunk, file)) > 0) text.append(chunk, got);
        std::fclose(file);
    }
    DeleteFileA(capturePath);
    return text;
}

bool runningUnderWine() {
    HMODULE ntdll = GetModuleHandleA("ntdll.dll");
    return ntdll != nullptr && GetProcAddress(ntdll, "wine_get_version") != nullptr;
}

namespace {
unsigned comFromEnvironment(const char* name) {
    const char* value = std::getenv(name);
    return value != nullptr ? static_cast<unsigned>(std::strtoul(value, nullptr, 10)) : 0;
}
}   // namespace

unsigned peerComPort() {
    return comFromEnvironment("BMFWU_TEST_COM");
}

unsigned notSerialComPort() {
    return comFromEnvironment("BMFWU_TEST_NOT_SERIAL_COM");
}

int openHandleCount() {
    int count = 0;
    for (ULONG_PTR value = 4; value < 0x4000; value += 4) {
        DWORD flags = 0;
        if (GetHandleInformation(reinterpret_cast<HANDLE>(value), &flags)) ++count;
    }
    return count;
}
