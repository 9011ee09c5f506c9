// The guard's control state kept on the client's side by the guard's own functions, and the
// guard's rules run on it.
#include "controltracker.h"

#include "guard/controlparsing.h"
#include "guard/guardrules.h"

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
        state = ControlState();
        state.requestedRpm = status.value(QLatin1String("requestedRpm")).toInt();
        state.warmupStopUsed = !warmupStopExpected;
        state.spinUpPending = !warmupStopExpected;
        spinUpSentAt = now;
    }
    const QString lease = status.value(QLatin1String("lease")).toString();
    if (lease != state.leaseToken) {
        if (!state.leaseToken.isEmpty())
            endLease(&state);
        if (!lease.isEmpty())
            beginLease(&state, lease, helloSentAt, profile);
    }
    if (status.value(QLatin1String("fault")).toBool())
        state.warmupStopUsed = true;
    // While a lease is held, the guard's speed is the client's own last request; a status
    // written before that request arrived would show an older one.
    if (state.leaseToken.isEmpty())
        requested(status.value(QLatin1String("requestedRpm")).toInt(), now);
    readingSeen(status.value(QLatin1String("rpm")).toInt(), statusWhole(status, "ageMs", -1), now);
}

// The one place where the library cannot run the guard's bookkeeping as the guard does: it does
// not see under which setpoint the fan program took a reading, nor when the guard saw it. A
// reading counts as taken under the speed requested only once it is later than that command's
// time limit (and a transit) after the request, and as taken under none before, which holds a
// spin-up; it counts as seen two transits after it arrived here, so that the library never ends
// a spin-up before the guard does. Its age, for the feedback rule, is the guard's.
void ControlTracker::readingSeen(int rpm, qint64 ageMs, qint64 now)
{
    const qint64 takenAt = ageMs < 0 ? -1 : now - ageMs;
    const bool underRequest = takenAt > spinUpSentAt + profile.CommandTimeoutMs + marginMs;
    recordReading(&state, profile, rpm, underRequest ? state.requestedRpm : -1, now + 2 * marginMs);
    state.lastFeedbackAt = takenAt;
}

QJsonObject ControlTracker::controlMessage(int rpm, double targetC, const Sample& sample, const QString& state) const
{
    // Both counters count this lease's requests.
    const QString sequence = QString::number(this->state.commandSequence + 1);
    return { { "version", 1 }, { "type", "control" }, { "lease", this->state.leaseToken }, { "session", guardSession },
        { "sequence", sequence }, { "progress", sequence }, { "rpm", rpm }, { "targetC", targetC }, { "state", state },
        { "sample",
            QJsonObject { { "valid", sample.valid }, { "serial", sample.serial }, { "session", sample.session },
                { "sequence", QString::number(sample.sequence) }, { "temperatureC", sample.temperatureC },
                { "ageMs", double(sample.ageMs) } } } };
}

QString ControlTracker::check(const QJsonObject& message, qint64 now)
{
    const QString type = message.value(QLatin1String("type")).toString();
    const QString refusal = checkEnvelope(message, type, state.leaseToken, guardSession);
    if (!refusal.isEmpty())
        return refusal;
    if (type == QLatin1String("hello"))
        helloSentAt = now;
    if (type == QLatin1String("hello") || type == QLatin1String("release"))
        return {};
    ControlRequest request;
    const bool wellFormed = decodeControlRequest(message, type, &request);
    ControlState next = state;
    const qint64 arrival = now + marginMs;
    const QString reason = checkControlRequest(request, wellFormed, profile, arrival, &next);
    if (!reason.isEmpty())
        return reason;
    // A stop that would outlast its limit before the next request can end it.
    if (int(request.rpm) == 0 && stopTooLong(arrival, next.offSince, profile.MaximumOffMs))
        return QStringLiteral("Warmup stop deadline expired");
    state = next;
    requested(int(request.rpm), now);
    return {};
}

bool ControlTracker::warmupStopAvailable(qint64 now) const
{
    if (state.leaseToken.isEmpty())
        return false;
    if (state.offSince >= 0)
        return !stopTooLong(now + marginMs + profile.LeaseMs, state.offSince, profile.MaximumOffMs);
    // The next request's new sample is the lease's second.
    return !state.warmupStopUsed && state.freshSampleCount >= 1;
}

// What the guard's requestRpm records of a new speed, and when a start from a stop was asked for.
void ControlTracker::requested(int rpm, qint64 now)
{
    const bool fromStop = state.requestedRpm == 0;
    if (recordRequestedRpm(&state, rpm, now) && fromStop)
        spinUpSentAt = now;
}

} // namespace ostrel
