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
        }
    } else if (confirmationSince == -1) {
        // A confirmed speed that drifts, or a reading under another setpoint,
        // starts the confirmation deadline again.
        confirmationSince = now;
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
