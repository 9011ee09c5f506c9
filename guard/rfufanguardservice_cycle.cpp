// The fan command and confirmation cycle: requested speed, confirmation, spin-up tracking.
#include "service/rfufanguardservice.h"

#include "guard/guardrules.h"

#include <QCoreApplication>

void RfuFanGuardService::requestRpm(int rpm)
{
    if (rpm == requestedRpm)
        return;
    // The very first request comes from -1, not 0, and arms no spin-up.
    if (requestedRpm == 0 && rpm >= 1) {
        spinUpPending = true;
        spinUpReadyAt = -1;
    }
    requestedRpm = rpm;
    qInfo("[RFU_GUARD] RPM requested; unconfirmed= %d", rpm);

    const qint64 t = guardClock.elapsed();
    // A newer request never postpones the deadline of one still unconfirmed.
    if (confirmationSince == -1)
        confirmationSince = t;
    if (rpm == 0) {
        warmupStopUsed = true;
        offSince = t;
    } else {
        offSince = -1;
    }
    backend.setTargetRpm(rpm);
}

void RfuFanGuardService::onFanReading(int rpm, int confirmedSetpoint)
{
    const qint64 now = guardClock.elapsed();
    lastRpm = rpm;
    lastFeedbackAt = now;

    const bool confirms = readingConfirms(rpm, confirmedSetpoint, requestedRpm, profile.RpmTolerance);
    if (confirms) {
        if (faultReason.isEmpty() && confirmationOverdue(now, confirmationSince, profile.SettlingMs)) {
            requestSafety(QStringLiteral("Fan confirmation arrived after its deadline"), true);
            return;
        }
        if (confirmationSince != -1)
            qInfo("[RFU_GUARD] RPM confirmed; requested= %d actual= %d", requestedRpm, rpm);
        confirmationSince = -1;
        if (confirmedSetpoint == profile.MaximumRpm) {
            safeConfirmed = true;
            awaitingSafeConfirmation = false;
            // The fan has come back: no more commanding it afresh.
            recoveryExhausted = false;
            safeResendAt = -1;
            notifyReady();
        }
    } else {
        // A confirmed speed that drifts, or a reading under another setpoint,
        // starts the confirmation deadline again.
        if (confirmationSince == -1)
            confirmationSince = now;
        // Under the safe setpoint, the fan contradicts it: a second writer, or a set that did not
        // take. Reading again would see the same, so the next poll sets the safe speed again.
        if (!recoveryExhausted && requestedRpm == profile.MaximumRpm && confirmedSetpoint == profile.MaximumRpm)
            safeResendAt = nextRefreshAt;
    }

    if (spinUpPending) {
        const bool holdsSpinUp
            = confirmedSetpoint >= profile.SpinUpRpm && rpm >= profile.SpinUpRpm - profile.RpmTolerance;
        if (!holdsSpinUp)
            spinUpReadyAt = -1;
        else if (spinUpReadyAt == -1)
            spinUpReadyAt = now + profile.SpinUpMs;
    }

    if (safeOnce && requestedRpm == profile.MaximumRpm && safeConfirmed && confirms)
        QCoreApplication::exit(0);
    sendStatus();
}
