#pragma once

#include "profile/deviceprofile.h"

#include <QString>

struct DemoOptions {
    QString socketPath;
    QString csvPath; // empty: no CSV
    int seconds = 30;
    // The guard allows one warm-up stop per process, before any safety event
    // (a release counts): only a fresh guard's first client may stop the fan.
    bool warmupStop = true;
};

// A well-behaved synthetic thermal client: it models an RF unit's
// temperature, leases the fan, stops it while the unit is cold, spins it up
// and regulates towards a target, within every rule of the profile.
// Returns the exit code: 0 when it ran to the end without a fault.
int runDemo(const DeviceProfile& profile, const DemoOptions& options);
