#include "app/quiet_ports.h"

namespace {

constexpr std::size_t LINE_COLUMNS = 80;
constexpr char INDENT[] = "   ";

std::string nameOf(const PortName& port) {
    return port.number != 0 ? "COM" + std::to_string(port.number) : std::string(port.device);
}

// How many ports from `first` on are COM numbers one after another.
std::size_t runFrom(const std::vector<PortName>& ports, std::size_t first) {
    std::size_t length = 1;
    while (first + length < ports.size() && ports[first].number != 0 &&
           ports[first + length].number == ports[first].number + length)
        ++length;
    return length;
}

std::vector<std::string> names(const std::vector<PortName>& ports) {
    std::vector<std::string> items;
    for (std::size_t at = 0; at < ports.size();) {
        const std::size_t run = runFrom(ports, at);
        if (run >= 3) {
            items.push_back(nameOf(ports[at]) + "-" + nameOf(ports[at + run - 1]));
            at += run;
        } else {
            items.push_back(nameOf(ports[at++]));
        }
    }
    return items;
}

}   // namespace

std::string quietPortsLine(const std::vector<PortName>& ports) {
    if (ports.empty()) return {};
    std::string text = "\nNo switch on ";
    std::size_t column = text.size() - 1;
    const std::vector<std::string> items = names(ports);
    for (std::size_t at = 0; at < items.size(); ++at) {
        const std::string item = items[at] + (at + 1 < items.size() ? "," : ".");
        if (at > 0 && column + 1 + item.size() > LINE_COLUMNS) {
            text += std::string("\n") + INDENT;
            column = sizeof INDENT - 1;
        } else if (at > 0) {
            text += ' ';
            ++column;
        }
        text += item;
        column += item.size();
    }
    return text;
}
