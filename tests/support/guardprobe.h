#pragma once

#include "service/rfufanguardservice.h"

// The test seam into the guard service: drives its handlers directly and
// reads or arranges its state, without a socket or a running event loop.
struct RfuFanGuardServiceProbe {
    RfuFanGuardService& service;

    // Starts the guard clock as start() would, without a lock or socket.
    void startClock() { service.guardClock.start(); }
    qint64 now() const { return service.guardClock.elapsed(); }

    void requestRpm(int rpm) { service.requestRpm(rpm); }
    void requestSafety(const QString& reason, bool recordFault) { service.requestSafety(reason, recordFault); }
    void superviseAt(qint64 t) { service.superviseAt(t); }
    // Through the backend's signals, as the backend reports them.
    void reading(int rpm, int confirmedSetpoint) { Q_EMIT service.backend.reading(rpm, confirmedSetpoint); }
    void failed(const QString& reason) { Q_EMIT service.backend.failed(reason); }

    KevoFanBackend& backend() { return service.backend; }
    const DeviceProfile& profile() const { return service.profile; }

#define OSTREL_PROBE_FIELD(name)                                                                                       \
    auto& name() { return service.name; }
    OSTREL_PROBE_FIELD(client)
    OSTREL_PROBE_FIELD(supervisionTimer)
    OSTREL_PROBE_FIELD(guardSession)
    OSTREL_PROBE_FIELD(leaseToken)
    OSTREL_PROBE_FIELD(faultReason)
    OSTREL_PROBE_FIELD(sampleDeadline)
    OSTREL_PROBE_FIELD(leaseDeadline)
    OSTREL_PROBE_FIELD(lastFeedbackAt)
    OSTREL_PROBE_FIELD(confirmationSince)
    OSTREL_PROBE_FIELD(spinUpReadyAt)
    OSTREL_PROBE_FIELD(offSince)
    OSTREL_PROBE_FIELD(nextRefreshAt)
    OSTREL_PROBE_FIELD(lastRpm)
    OSTREL_PROBE_FIELD(requestedRpm)
    OSTREL_PROBE_FIELD(safeOnce)
    OSTREL_PROBE_FIELD(safeConfirmed)
    OSTREL_PROBE_FIELD(sampleDeadlineArmed)
    OSTREL_PROBE_FIELD(awaitingSafeConfirmation)
    OSTREL_PROBE_FIELD(warmupStopUsed)
    OSTREL_PROBE_FIELD(spinUpPending)
    OSTREL_PROBE_FIELD(safeRetryUsed)
    OSTREL_PROBE_FIELD(recoveryExhausted)
#undef OSTREL_PROBE_FIELD
};
