#pragma once

#include "profile/deviceprofile.h"

// True when every safety rule holds. On failure *error holds the message of
// the first failing rule group; error may be null and is cleared on entry.
bool validateDeviceProfile(const DeviceProfile& profile, QString* error);

// The rules on what one-shot recovery uses: the fan program's reply pattern, MaximumRpm,
// RpmTolerance, CommandTimeoutMs and SettlingMs. Same messages as the full rules.
bool validateRecoveryProfile(const DeviceProfile& profile, QString* error);

// One-shot recovery waits CommandTimeoutMs × 5 + SettlingMs for the safe
// speed; that must fit in the service manager's stop time of 25 s. Checked
// at start-up, where a guard would otherwise begin a recovery it cannot finish.
qint64 recoveryDeadlineMs(const DeviceProfile& profile);
bool checkRecoveryBudget(const DeviceProfile& profile, QString* error);
