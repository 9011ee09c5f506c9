// Deadline supervision and safety recovery: the safety request, the 250 ms tick, backend failures and the single retry.
#include "service/rfufanguardservice.h"

#include "guard/controlrules.h"
#include "guard/guardrules.h"

#include <QCoreApplication>

namespace {

constexpr int kRecoveryFailedExitCode = 2;
// Once the retry is spent, the safe speed is commanded afresh after these pauses, doubling
// from the first to the longest: soon enough for a fan program that fails for a moment, and
// sparing with one that is gone for good.
constexpr int kFirstSafeResendMs = 1000;
constexpr int kLongestSafeResendMs = 5000;

} // namespace

void RfuFanGuardService::requestSafety(const QString& reason, bool recordFault)
{
    const int previousRpm = control.requestedRpm;
    // The first recorded reason stays for the life of the process.
    if (recordFault && control.faultReason.isEmpty())
        control.faultReason = reason;
    endLease(&control);
    control.awaitingSafeConfirmation = true;

    requestRpm(profile.MaximumRpm);
    if (previousRpm == profile.MaximumRpm)
        backend.refresh(); // requestRpm did nothing; read the fan again instead
    else
        control.confirmationSince = guardClock.elapsed(); // the safe speed gets a full settling period

    qWarning("[RFU_GUARD] safety requested: %s", qUtf8Printable(reason));
    sendStatus();
}

void RfuFanGuardService::onSupervisionTick() { superviseAt(guardClock.elapsed()); }

// Each check reads the state afresh, so a safety request raised by an earlier
// check is seen by the later ones of the same tick.
void RfuFanGuardService::superviseAt(qint64 t)
{
    if (!control.leaseToken.isEmpty()
        && (deadlineReached(t, control.leaseDeadline)
            || (control.sampleDeadlineArmed && deadlineReached(t, control.sampleDeadline))))
        requestSafety(QStringLiteral("Control or telemetry deadline expired"), true);

    if (client && control.leaseToken.isEmpty() && control.frameDeadline != -1
        && deadlineReached(t, control.frameDeadline))
        closeUnleased(QStringLiteral("No complete frame within %1 s").arg(kUnleasedFrameTimeoutMs / 1000));

    if (stopTooLong(t, control.offSince, profile.MaximumOffMs))
        requestSafety(QStringLiteral("Warmup stop deadline expired"), true);

    // Before the safe speed was first confirmed, the confirmation deadline covers the fan.
    if (control.faultReason.isEmpty() && control.safeConfirmed
        && !feedbackFresh(t, control.lastFeedbackAt, profile.MaximumFeedbackAgeMs))
        requestSafety(QStringLiteral("Fan feedback expired"), true);

    if (!control.recoveryExhausted && confirmationOverdue(t, control.confirmationSince, profile.SettlingMs)) {
        if (control.requestedRpm != profile.MaximumRpm) {
            requestSafety(QStringLiteral("Fan feedback did not confirm requested RPM"), true);
        } else if (!control.safeRetryUsed) {
            requestSafety(QStringLiteral("Safe fan RPM was not confirmed"), true);
            control.safeRetryUsed = true;
            control.confirmationSince = t;
            backend.forceSafeRpm();
        } else {
            requestSafety(QStringLiteral("Safe fan RPM remains unconfirmed after retry"), true);
            exhaustRecovery(t, "[RFU_GUARD] safe output unconfirmed; feedback retry exhausted");
        }
    }

    // The safe speed commanded afresh, set and then read back: in place of the next poll after a
    // reading that contradicted it, and with growing pauses for as long as the retry is spent
    // and the fan has not confirmed it.
    if (control.safeResendAt != -1 && t >= control.safeResendAt) {
        control.safeResendAt = -1;
        if (control.recoveryExhausted) {
            control.safeResendAt = t + control.safeResendDelayMs;
            control.safeResendDelayMs = qMin(2 * control.safeResendDelayMs, kLongestSafeResendMs);
        }
        control.nextRefreshAt = t + kRefreshIntervalMs;
        backend.forceSafeRpm();
    } else if (t >= control.nextRefreshAt && !control.recoveryExhausted) {
        control.nextRefreshAt = t + kRefreshIntervalMs;
        backend.refresh();
    }

    publishServiceStatus();

    // Withheld only while a fan command hangs, so the service manager restarts a stuck guard.
    if (sdNotify && !backend.isCommandOverdue())
        sdNotify(0, "WATCHDOG=1");
}

void RfuFanGuardService::onFanFailed(const QString& reason)
{
    control.lastFeedbackAt = -1;
    // One more failure while the safe speed is commanded again and again is no news: the log
    // would otherwise grow by a line a few seconds for as long as the fan program fails.
    if (control.recoveryExhausted) {
        sendStatus();
        return;
    }
    requestSafety(reason, true);
    if (!control.safeRetryUsed) {
        control.safeRetryUsed = true;
        control.confirmationSince = guardClock.elapsed();
        // Deferred: the backend is still inside its failure report.
        QTimer::singleShot(0, this, [this] { backend.forceSafeRpm(); });
    } else {
        exhaustRecovery(guardClock.elapsed(), "[RFU_GUARD] safe output unconfirmed; retry exhausted");
    }
}

// The retry is spent, but the guard does not give up: the tick commands the safe speed afresh
// until the fan confirms it, for as long as the guard runs.
void RfuFanGuardService::exhaustRecovery(qint64 now, const char* line)
{
    control.recoveryExhausted = true;
    if (control.confirmationSince == -1)
        control.confirmationSince = now; // so that the confirmation, when it comes, is logged
    control.safeResendAt = now + kFirstSafeResendMs;
    control.safeResendDelayMs = 2 * kFirstSafeResendMs;
    qCritical("%s", line);
}

// The guard's state in one line, for `systemctl status`: sent when it changes, never on every tick.
void RfuFanGuardService::publishServiceStatus()
{
    // Until the first ready the service manager shows the start under way itself; a fault shows at once.
    if (!sdNotify || (!readyNotified && control.faultReason.isEmpty()))
        return;
    QString status;
    if (!control.faultReason.isEmpty())
        status = QStringLiteral("STATUS=Fault latched: %1; safe speed %2")
                     .arg(control.faultReason,
                         control.awaitingSafeConfirmation ? QStringLiteral("not confirmed, still commanding it")
                                                          : QStringLiteral("confirmed"));
    else if (!control.leaseToken.isEmpty())
        status = QStringLiteral("STATUS=Lease held");
    else if (control.ready())
        status = QStringLiteral("STATUS=Ready");
    else
        status = QStringLiteral("STATUS=Not ready: confirming the safe speed");
    if (status == publishedStatus)
        return;
    publishedStatus = status;
    sdNotify(0, status.toUtf8().constData());
}

void RfuFanGuardService::onRecoveryDeadline()
{
    qCritical("[RFU_GUARD] safety recovery could not confirm fan RPM");
    QCoreApplication::exit(kRecoveryFailedExitCode);
}
