#include "app/support_log.h"

int startSupportLog(const char* path) { return path != nullptr ? 0 : 1; }
