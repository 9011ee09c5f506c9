#pragma once

#include <QString>
#include <QtGlobal>

// What the guard knows and has promised: the lease, the sample stream, the fan and the safety
// obligations still open. The guard holds one; the client library holds its own, kept by the same
// functions (guard/controlrules.h) from the requests it sends and the statuses it receives.
// Times are milliseconds of the owner's monotonic clock; -1 means none. Each field says what it
// means, then what sets and clears it.
struct ControlState {
    // The lease held, empty for none. A granted hello sets it; release, disconnect and safety clear it.
    QString leaseToken;
    // When the lease lapses. The hello and every accepted request set it; safety clears it.
    qint64 leaseDeadline = -1;
    // The last accepted request's counters. Acceptance sets them; a new lease zeroes them.
    quint64 commandSequence = 0;
    quint64 commandProgress = 0;

    // The sample stream of the accepted requests, kept across leases and clients. Acceptance sets it.
    QString sampleSession;
    // The last accepted sample, and its temperature, which a repeat of it must carry. Acceptance sets them.
    quint64 sampleSequence = 0;
    double sampleTemperatureC = 0.0;
    // When the last sample becomes too old. Every request that passes the bounds sets it.
    qint64 sampleDeadline = -1;
    // The tick enforces sampleDeadline. Acceptance sets it; the end of a lease clears it.
    bool sampleDeadlineArmed = false;
    // New samples in this lease, counted up to 2. Requests with a new sample count; a new lease zeroes it.
    int freshSampleCount = 0;

    // The speed commanded, -1 before the first. Set by every new speed (recordRequestedRpm).
    int requestedRpm = -1;
    // The last reading's speed and when it came. Each reading sets them; a failed fan command clears the time.
    int lastRpm = 0;
    qint64 lastFeedbackAt = -1;
    // Since when the speed commanded awaits confirmation. A new speed sets it; a confirming reading clears it.
    qint64 confirmationSince = -1;
    // Started from a stop and not yet spun up. A start sets it; the first request after the hold clears it.
    bool spinUpPending = false;
    // From when the spin-up has been held long enough. A reading at the spin-up speed sets it; others clear it.
    qint64 spinUpReadyAt = -1;
    // Since when the fan is stopped. A stop sets it; any other speed clears it.
    qint64 offSince = -1;
    // The one warm-up stop is spent. A stop or a safety request sets it, for good.
    bool warmupStopUsed = false;

    // The first latched fault. The first safety request that records one sets it, for good.
    QString faultReason;
    // The safe speed has been confirmed since start. Its first confirmation sets it, for good.
    bool safeConfirmed = false;
    // The safe speed is commanded and not yet confirmed. Safety sets it; its confirmation clears it.
    bool awaitingSafeConfirmation = true;
    // The single forced retry of the safe speed is spent. Set once, for good.
    bool safeRetryUsed = false;
    // The retry is spent and the safe speed unconfirmed: the tick commands it afresh with growing
    // pauses. Set when the retry fails; a confirmation of the safe speed clears it.
    bool recoveryExhausted = false;
    // When the tick next commands the safe speed afresh (set, then read), and the pause after that.
    // A contradicting reading or a spent retry sets them; the resend and a confirmation clear the time.
    qint64 safeResendAt = -1;
    int safeResendDelayMs = 0;
    // When the tick next has the fan read. Each read by the tick moves it on.
    qint64 nextRefreshAt = 0;

    // When the connection served, while it holds no lease, must have completed its next frame.
    // Accepting a connection and every frame set it; the tick closes a connection past it.
    qint64 frameDeadline = -1;

    // A client may take the lease: the safe speed confirmed, nothing pending, no fault.
    bool ready() const { return safeConfirmed && !awaitingSafeConfirmation && faultReason.isEmpty(); }

    // Moves every time above into the past, as if ms had passed: none stays none, and no time
    // becomes none. Beside the list of times, so that a new one is not missed; for the tests.
    void passTime(qint64 ms)
    {
        for (qint64* t : { &leaseDeadline, &sampleDeadline, &lastFeedbackAt, &confirmationSince, &spinUpReadyAt,
                 &offSince, &safeResendAt, &nextRefreshAt, &frameDeadline })
            *t = *t == -1 ? -1 : *t - ms == -1 ? -2 : *t - ms;
    }
};
