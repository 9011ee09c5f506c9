// Deadline supervision and safety recovery: the safety request, the 250 ms tick, backend failures and the single retry.
#include "service/rfufanguardservice.h"

#include "guard/guardrules.h"

#include <QCoreApplication>

namespace {

constexpr int kRecoveryFailedExitCode = 2;

} // namespace

void RfuFanGuardService::requestSafety(const QString& reason, bool recordFault)
{
    const int previousRpm = requestedRpm;
    // The first recorded reason stays for the life of the process.
    if (recordFault && faultReason.isEmpty())
        faultReason = reason;
    leaseToken.clear();
    leaseDeadline = -1;
    sampleDeadlineArmed = false;
    awaitingSafeConfirmation = true;
    warmupStopUsed = true;

    requestRpm(profile.MaximumRpm);
    if (previousRpm == profile.MaximumRpm)
        backend.refresh(); // requestRpm did nothing; read the fan again instead
    else
        confirmationSince = guardClock.elapsed(); // the safe speed gets a full settling period

    qWarning("[RFU_GUARD] safety requested: %s", qUtf8Printable(reason));
    sendStatus();
}

void RfuFanGuardService::onSupervisionTick() { superviseAt(guardClock.elapsed()); }

// Each check reads the state afresh, so a safety request raised by an earlier
// check is seen by the later ones of the same tick.
void RfuFanGuardService::superviseAt(qint64 t)
{
    if (!leaseToken.isEmpty()
        && (deadlineReached(t, leaseDeadline) || (sampleDeadlineArmed && deadlineReached(t, sampleDeadline))))
        requestSafety(QStringLiteral("Control or telemetry deadline expired"), true);

    if (stopTooLong(t, offSince, profile.MaximumOffMs))
        requestSafety(QStringLiteral("Warmup stop deadline expired"), true);

    // Before the safe speed was first confirmed, the confirmation deadline covers the fan.
    if (faultReason.isEmpty() && safeConfirmed && !feedbackFresh(t, lastFeedbackAt, profile.MaximumFeedbackAgeMs))
        requestSafety(QStringLiteral("Fan feedback expired"), true);

    if (!recoveryExhausted && confirmationOverdue(t, confirmationSince, profile.SettlingMs)) {
        if (requestedRpm != profile.MaximumRpm) {
            requestSafety(QStringLiteral("Fan feedback did not confirm requested RPM"), true);
        } else if (!safeRetryUsed) {
            requestSafety(QStringLiteral("Safe fan RPM was not confirmed"), true);
            safeRetryUsed = true;
            confirmationSince = t;
            backend.forceSafeRpm();
        } else {
            requestSafety(QStringLiteral("Safe fan RPM remains unconfirmed after retry"), true);
            recoveryExhausted = true;
            qCritical("[RFU_GUARD] safe output unconfirmed; feedback retry exhausted");
        }
    }

    if (t >= nextRefreshAt && !recoveryExhausted) {
        nextRefreshAt = t + kRefreshIntervalMs;
        backend.refresh();
    }

    // Withheld only while a fan command hangs, so the service manager restarts a stuck guard.
    if (sdNotify && !backend.isCommandOverdue())
        sdNotify(0, "WATCHDOG=1");
}

void RfuFanGuardService::onFanFailed(const QString& reason)
{
    lastFeedbackAt = -1;
    requestSafety(reason, true);
    if (!safeRetryUsed) {
        safeRetryUsed = true;
        confirmationSince = guardClock.elapsed();
        // Deferred: the backend is still inside its failure report.
        QTimer::singleShot(0, this, [this] { backend.forceSafeRpm(); });
    } else {
        recoveryExhausted = true;
        qCritical("[RFU_GUARD] safe output unconfirmed; retry exhausted");
    }
}

void RfuFanGuardService::onRecoveryDeadline()
{
    qCritical("[RFU_GUARD] safety recovery could not confirm fan RPM");
    QCoreApplication::exit(kRecoveryFailedExitCode);
}
