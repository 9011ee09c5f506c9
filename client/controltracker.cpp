// The guard's view of this client, kept on the client's side, and the guard's rules run on it.
#include "controltracker.h"

#include "guard/guardrules.h"
#include "protocol/controlparsing.h"

namespace ostrel {

ControlTracker::ControlTracker(const DeviceProfile& profile, qint64 marginMs)
    : profile(profile)
    , marginMs(marginMs)
{
}

void ControlTracker::statusReceived(const QJsonObject& status, qint64 now)
{
    const QString session = status.value(QLatin1String("session")).toString();
    if (session != guardSession) {
        // Another run of the guard. Unless this client is its first, an earlier one may have
        // used the stop, or left a spin-up open that the fan's readings must end again.
        guardSession = session;
        leaseToken.clear();
        state = ControlState();
        state.requestedRpm = status.value(QLatin1String("requestedRpm")).toInt();
        state.warmupStopUsed = !warmupStopExpected;
        state.spinUpPending = !warmupStopExpected;
        spinUpSentAt = now;
    }
    const QString lease = status.value(QLatin1String("lease")).toString();
    if (lease != leaseToken) {
        // Every end of a lease made the guard force the safe speed, which spends the stop.
        if (!leaseToken.isEmpty())
            state.warmupStopUsed = true;
        leaseToken = lease;
        state.commandSequence = 0;
        state.commandProgress = 0;
        state.freshSampleCount = 0;
        state.leaseDeadline = lease.isEmpty() ? -1 : helloSentAt + profile.LeaseMs;
    }
    if (status.value(QLatin1String("fault")).toBool())
        state.warmupStopUsed = true;
    // While a lease is held, the guard's speed is the client's own last request; a status
    // written before that request arrived would show an older one.
    if (leaseToken.isEmpty())
        applyRequestedRpm(status.value(QLatin1String("requestedRpm")).toInt(), now);

    const qint64 ageMs = qint64(status.value(QLatin1String("ageMs")).toDouble());
    state.lastFeedbackAt = ageMs < 0 ? -1 : now - ageMs;
    state.lastRpm = status.value(QLatin1String("rpm")).toInt();
    // The guard counts the spin-up time from a reading taken under the new speed; a reading
    // later than the set command's time limit certainly is. It is counted from here, a transit
    // later than the guard, and the check adds its margin once more.
    if (state.spinUpPending && state.lastFeedbackAt > spinUpSentAt + profile.CommandTimeoutMs + marginMs) {
        if (state.requestedRpm >= profile.SpinUpRpm && state.lastRpm >= profile.SpinUpRpm - profile.RpmTolerance) {
            if (state.spinUpReadyAt < 0)
                state.spinUpReadyAt = now + profile.SpinUpMs + 2 * marginMs;
        } else {
            state.spinUpReadyAt = -1;
        }
    }
}

QJsonObject ControlTracker::controlMessage(int rpm, double targetC, const Sample& sample, const QString& state) const
{
    // Both counters count this lease's requests.
    const QString sequence = QString::number(this->state.commandSequence + 1);
    return { { "version", 1 }, { "type", "control" }, { "lease", leaseToken }, { "session", guardSession },
        { "sequence", sequence }, { "progress", sequence }, { "rpm", rpm }, { "targetC", targetC }, { "state", state },
        { "sample",
            QJsonObject { { "valid", sample.valid }, { "serial", sample.serial }, { "session", sample.session },
                { "sequence", QString::number(sample.sequence) }, { "temperatureC", sample.temperatureC },
                { "ageMs", double(sample.ageMs) } } } };
}

QString ControlTracker::check(const QJsonObject& message, qint64 now)
{
    const QString refusal = checkEnvelope(message, leaseToken, guardSession);
    if (!refusal.isEmpty())
        return refusal;
    const QString type = message.value(QLatin1String("type")).toString();
    if (type == QLatin1String("hello"))
        helloSentAt = now;
    if (type == QLatin1String("hello") || type == QLatin1String("release"))
        return {};
    ControlRequest request;
    const bool wellFormed = decodeControlRequest(message, &request);
    ControlState next = state;
    const qint64 arrival = now + marginMs;
    const QString reason = checkControlRequest(request, wellFormed, profile, arrival, &next);
    if (!reason.isEmpty())
        return reason;
    // A stop that would outlast its limit before the next request can end it.
    if (int(request.rpm) == 0 && stopTooLong(arrival, next.offSince, profile.MaximumOffMs))
        return QStringLiteral("Warmup stop deadline expired");
    state = next;
    applyRequestedRpm(int(request.rpm), now);
    return {};
}

bool ControlTracker::warmupStopAvailable(qint64 now) const
{
    if (leaseToken.isEmpty())
        return false;
    if (state.offSince >= 0)
        return !stopTooLong(now + marginMs + profile.LeaseMs, state.offSince, profile.MaximumOffMs);
    // The next request's new sample is the lease's second.
    return !state.warmupStopUsed && state.freshSampleCount >= 1;
}

// What the guard's requestRpm records of a new speed: a stop, and a start from standstill.
void ControlTracker::applyRequestedRpm(int rpm, qint64 now)
{
    if (rpm == state.requestedRpm)
        return;
    if (state.requestedRpm == 0 && rpm >= 1) {
        state.spinUpPending = true;
        state.spinUpReadyAt = -1;
        spinUpSentAt = now;
    }
    state.requestedRpm = rpm;
    if (rpm == 0)
        state.warmupStopUsed = true;
    state.offSince = rpm == 0 ? now : -1;
}

} // namespace ostrel
