#pragma once

#include "profile/deviceprofile.h"

#include <ostrel-client/safetyprofile.h>

namespace ostrel {

// The validated record behind a loaded profile, for the library's own code.
const DeviceProfile& fieldsOf(const SafetyProfile& profile);

} // namespace ostrel
