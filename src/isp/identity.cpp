#include "isp/identity.h"

DeviceIdentity deviceIdentity{};
int linkState = LINK_NONE;
