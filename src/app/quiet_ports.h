// The ports of a listing (--info, --all) where no switch was found, named on
// one line instead of a line each.
#pragma once
#include <string>
#include <vector>

#include "link/port_list.h"

// "\nNo switch on COM1, COM3, COM5-COM16.": runs of three or more COM numbers
// in a row as a range, device paths as they are, wrapped within 80 columns
// (continuation lines indented). Empty when `ports` is.
std::string quietPortsLine(const std::vector<PortName>& ports);
