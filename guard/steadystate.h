#pragma once

#include "profile/deviceprofile.h"

#include <QStringList>

// Combinations that pass every rule of the profile but cannot work in steady state:
// with a well-behaved client and a healthy fan, the guard would still latch a fault.
// One line each, for an administrator; ostrel-profile(5) explains them.
QStringList steadyStateWarnings(const DeviceProfile& profile);
