#pragma once

#include "profile/deviceprofile.h"

#include <QString>

// The profile as one-shot recovery reads it. The recovery uses only the fan program, its
// reply pattern, MaximumRpm, RpmTolerance, CommandTimeoutMs and SettlingMs; a rule on any
// other key must not keep it from putting the fan at the safe speed (a stricter rule in a new
// version would otherwise leave the next stop with no recovery). So a profile that fails the
// full load is read again for those keys alone, which must then hold; *ignored gets the full
// load's reason, and *out holds them with defaults elsewhere. A profile that passes in full
// loads as it is, with *ignored empty.
bool loadRecoveryProfile(const QString& path, DeviceProfile* out, QString* ignored, QString* error);
