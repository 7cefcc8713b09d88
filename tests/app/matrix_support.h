// Shared by the interruption and noise matrices: how a run ended, and where
// in the host's byte stream the programming pass puts its commands.
#pragma once
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "sim.h"

// The full matrices run when BMFWU_MATRIX=full; otherwise a reduced form.
inline bool fullMatrix() {
    const char* size = std::getenv("BMFWU_MATRIX");
    return size != nullptr && std::strcmp(size, "full") == 0;
}

// What the user is told when the update went through.
inline bool reportedSuccess(const std::string& output) {
    return output.find("Updating DSPs") != std::string::npos ||
           output.find("Firmware update complete") != std::string::npos;
}

// How many times the user was asked to confirm an update.
inline unsigned answersGiven(const std::string& output) {
    unsigned answers = 0;
    for (std::size_t at = output.find("(Y,N) "); at != std::string::npos; at = output.find("(Y,N) ", at + 1)) ++answers;
    return answers;
}

// One line the switch heard from the host, and how many bytes it had heard
// from the start when the line began and when it ended.
struct HeardLine {
    std::string text;
    std::uint64_t start;
    std::uint64_t end;
};

inline std::vector<HeardLine> heardLines(const std::vector<SimWireByte>& traffic) {
    std::vector<HeardLine> lines;
    HeardLine line{"", 0, 0};
    std::uint64_t heard = 0;
    for (const SimWireByte& byte : traffic) {
        if (!byte.fromHost || !byte.heard) continue;
        ++heard;
        if (byte.value == '\n') {
            line.end = heard;
            lines.push_back(line);
            line = HeardLine{"", heard, 0};
        } else if (byte.value != '\r') {
            line.text += static_cast<char>(byte.value);
        }
    }
    // The restart command's line feed reaches an application already listening at another rate.
    if (!line.text.empty()) {
        line.end = heard;
        lines.push_back(line);
    }
    return lines;
}
