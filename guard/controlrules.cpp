// The rules a control request must keep: safety bounds, sample identity and age, the
// warm-up stop and the spin-up.
#include "guard/controlrules.h"

#include "guard/guardrules.h"
#include "profile/profilevalidation.h"
#include "protocol/controlparsing.h"

QString checkControlRequest(
    const ControlRequest& request, bool wellFormed, const DeviceProfile& profile, qint64 now, ControlState* state)
{
    ControlState& s = *state;
    const TemperatureSample& sample = request.sample;
    QString ignoredReason;
    const bool withinBounds = wellFormed && request.sequence > s.commandSequence && request.progress > s.commandProgress
        && sample.valid && sample.serial == profile.DeviceSerial && sample.ageMs <= profile.MaximumSampleAgeMs
        && sample.temperatureC >= profile.SensorMinimumC && sample.temperatureC < profile.MaximumTemperatureC
        && feedbackFresh(now, s.lastFeedbackAt, profile.MaximumFeedbackAgeMs)
        && validateTargetTemperature(request, profile, &ignoredReason)
        && rpmWithinBounds(request.rpm, profile.MaximumRpm) && now <= s.leaseDeadline;
    if (!withinBounds)
        return QStringLiteral("Control request violates safety bounds");

    // The sample stream only moves forwards, across leases and clients: a
    // repeated sample must carry the same temperature, a new one a higher sequence.
    if ((!s.sampleSession.isEmpty() && sample.session != s.sampleSession) || sample.sequence < s.sampleSequence
        || (sample.sequence == s.sampleSequence && sample.temperatureC != s.sampleTemperatureC))
        return QStringLiteral("Device session or sample identity changed");

    // The moment the measurement becomes MaximumSampleAgeMs old; re-sending a
    // sample never extends its life.
    qint64 deadline = now + profile.MaximumSampleAgeMs - sample.ageMs;
    if (sample.sequence == s.sampleSequence)
        deadline = qMin(s.sampleDeadline, deadline);
    else
        s.freshSampleCount = qMin(s.freshSampleCount + 1, 2);
    s.sampleDeadline = deadline;
    if (now >= deadline)
        return QStringLiteral("Temperature sample expired");

    // Only here does a spin-up end: the fan has held the spin-up speed long
    // enough and the feedback still shows it.
    if (s.spinUpPending && s.spinUpReadyAt >= 0 && now >= s.spinUpReadyAt
        && feedbackFresh(now, s.lastFeedbackAt, profile.MaximumFeedbackAgeMs)
        && s.lastRpm >= profile.SpinUpRpm - profile.RpmTolerance)
        s.spinUpPending = false;

    const int rpm = int(request.rpm);
    bool unsafe = false;
    if (rpm == 0) {
        // The one warm-up stop: cold, announced, resting on two fresh samples,
        // and only before any safety request (or to keep an ongoing stop).
        unsafe = request.state != QLatin1String("WarmupOff") || s.freshSampleCount < 2
            || (s.warmupStopUsed && s.offSince < 0)
            || !(sample.temperatureC < request.TargetTemperatureC - profile.LeadC);
    } else {
        unsafe = rpm < profile.MinimumRpm || rpm % profile.RpmStep != 0;
    }
    if ((s.requestedRpm == 0 && rpm > 0 && rpm < profile.SpinUpRpm) || (s.spinUpPending && rpm < profile.SpinUpRpm))
        unsafe = true;
    if (unsafe)
        return QStringLiteral("Unsafe stop or spin-up request");

    s.sampleSession = sample.session;
    s.sampleSequence = sample.sequence;
    s.sampleTemperatureC = sample.temperatureC;
    s.commandSequence = request.sequence;
    s.commandProgress = request.progress;
    s.sampleDeadlineArmed = true;
    s.leaseDeadline = now + profile.LeaseMs;
    return {};
}

QString checkEnvelope(const QJsonObject& message, const QString& leaseToken, const QString& guardSession)
{
    const QJsonValue version = message.value(QLatin1String("version"));
    if (!version.isDouble() || version.toDouble() != 1.0)
        return QStringLiteral("Unsupported protocol");
    if (message.value(QLatin1String("type")).toString() == QLatin1String("hello"))
        return {};
    if (leaseToken.isEmpty() || message.value(QLatin1String("lease")).toString() != leaseToken
        || message.value(QLatin1String("session")).toString() != guardSession)
        return QStringLiteral("Invalid or expired control lease");
    return {};
}
