// The fan command and confirmation cycle: the speed commanded, and the readings that confirm it.
#include "service/rfufanguardservice.h"

#include "guard/controlrules.h"
#include "guard/guardrules.h"

#include <QCoreApplication>

void RfuFanGuardService::requestRpm(int rpm)
{
    if (!recordRequestedRpm(&control, rpm, guardClock.elapsed()))
        return;
    qInfo("[RFU_GUARD] RPM requested; unconfirmed= %d", rpm);
    backend.setTargetRpm(rpm);
}

void RfuFanGuardService::onFanReading(int rpm, int confirmedSetpoint)
{
    const qint64 now = guardClock.elapsed();
    recordReading(&control, profile, rpm, confirmedSetpoint, now);

    const bool confirms = readingConfirms(rpm, confirmedSetpoint, control.requestedRpm, profile.RpmTolerance);
    if (confirms) {
        if (control.faultReason.isEmpty() && confirmationOverdue(now, control.confirmationSince, profile.SettlingMs)) {
            requestSafety(QStringLiteral("Fan confirmation arrived after its deadline"), true);
            return;
        }
        if (control.confirmationSince != -1)
            qInfo("[RFU_GUARD] RPM confirmed; requested= %d actual= %d", control.requestedRpm, rpm);
        control.confirmationSince = -1;
        if (confirmedSetpoint == profile.MaximumRpm) {
            control.safeConfirmed = true;
            control.awaitingSafeConfirmation = false;
            // The fan has come back: no more commanding it afresh.
            control.recoveryExhausted = false;
            control.safeResendAt = -1;
            notifyReady();
        }
    } else {
        // A confirmed speed that drifts, or a reading under another setpoint,
        // starts the confirmation deadline again.
        if (control.confirmationSince == -1)
            control.confirmationSince = now;
        // Under the safe setpoint, the fan contradicts it: a second writer, or a set that did not
        // take. Reading again would see the same, so the next poll sets the safe speed again.
        if (!control.recoveryExhausted && control.requestedRpm == profile.MaximumRpm
            && confirmedSetpoint == profile.MaximumRpm)
            control.safeResendAt = control.nextRefreshAt;
    }

    if (safeOnce && control.requestedRpm == profile.MaximumRpm && control.safeConfirmed && confirms)
        QCoreApplication::exit(0);
    sendStatus();
}
