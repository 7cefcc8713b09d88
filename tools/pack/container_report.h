// `bmfwu-pack --inspect`: prints a container's header and parameter-table
// fields on stdout and checks them; problems go to stderr.
#pragma once
#include <string>

// 0 when the container is consistent; 1 when it cannot be read or a check fails.
int inspectContainer(const std::string& path);
