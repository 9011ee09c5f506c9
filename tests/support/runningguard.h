#pragma once

#include "service/rfufanguardservice.h"

#include "guardprobe.h"
#include "testclient.h"

#include <QString>
#include <QTemporaryDir>

// A guard service started in simulation inside the test process, listening
// on a socket in a fresh directory, with the safe speed confirmed. The fan is
// not polled on its own (so no status arrives unasked) and every deadline is
// long unless a test shortens it: CommandTimeoutMs 100, SpinUpMs 100,
// SettlingMs 300, LeaseMs, MaximumFeedbackAgeMs, MaximumSampleAgeMs and
// MaximumOffMs 10000. Other values are those of the passing profile.
struct RunningGuard {
    RunningGuard();

    // Starts the guard; true once the safe speed is confirmed.
    bool start();
    QString socketPath() const { return dir.filePath(QStringLiteral("fan.sock")); }

    QTemporaryDir dir;
    RfuFanGuardService service;
    RfuFanGuardServiceProbe probe { service };
};

// A started guard serving one client, with the safe speed confirmed.
struct ServedClient {
    RunningGuard guard;
    TestClient client;
    // Starts the guard and connects; with lease, the client also obtains the lease.
    bool open(bool lease = false);
};
