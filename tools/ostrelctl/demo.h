#pragma once

#include <ostrel-client/safetyprofile.h>

#include <QString>

struct DemoOptions {
    QString socketPath;
    QString csvPath; // empty: no CSV
    int seconds = 90;
    // The guard allows one warm-up stop per process, before any safety event
    // (a release counts): only a fresh guard's first client may stop the fan.
    bool warmupStop = true;
};

// A well-behaved thermal client on the client library: it models an RF unit's
// temperature, leases the fan, and steers it with the reference regulator (a
// warm-up stop while the unit is cold, the spin-up, then regulation into the
// stable band). Returns the exit code: 0 when it ran to the end without a fault.
int runDemo(const ostrel::SafetyProfile& profile, const DemoOptions& options);
