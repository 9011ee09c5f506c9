// The rules a control request must keep (safety bounds, sample identity and age, the warm-up stop
// and the spin-up), and what the lease, a new speed and a reading record.
#include "guard/controlrules.h"

#include "guard/controlparsing.h"
#include "guard/guardrules.h"
#include "profile/failwith.h"
#include "profile/profilevalidation.h"

#include <cmath>

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

QString checkEnvelope(
    const QJsonObject& message, const QString& type, const QString& leaseToken, const QString& guardSession)
{
    const QJsonValue version = message.value(QLatin1String("version"));
    if (!version.isDouble() || version.toDouble() != 1.0)
        return QStringLiteral("Unsupported protocol");
    if (type == QLatin1String("hello"))
        return {};
    if (leaseToken.isEmpty() || message.value(QLatin1String("lease")).toString() != leaseToken
        || message.value(QLatin1String("session")).toString() != guardSession)
        return QStringLiteral("Invalid or expired control lease");
    return {};
}

bool validateTargetTemperature(const ControlRequest& request, const DeviceProfile& profile, QString* error)
{
    if (!validateDeviceProfile(profile, error))
        return false;
    const double target = request.TargetTemperatureC;
    if (!std::isfinite(target) || target < profile.MinimumTargetC || target > profile.MaximumTargetC)
        return failWith(error, QStringLiteral("TargetTemperatureC is outside the validated device range"));
    return true;
}

void beginLease(ControlState* state, const QString& token, qint64 now, const DeviceProfile& profile)
{
    state->leaseToken = token;
    state->commandSequence = 0;
    state->commandProgress = 0;
    state->freshSampleCount = 0;
    state->leaseDeadline = now + profile.LeaseMs;
}

void endLease(ControlState* state)
{
    state->leaseToken.clear();
    state->leaseDeadline = -1;
    state->sampleDeadlineArmed = false;
    state->warmupStopUsed = true;
}

bool recordRequestedRpm(ControlState* state, int rpm, qint64 now)
{
    ControlState& s = *state;
    if (rpm == s.requestedRpm)
        return false;
    // The very first request comes from -1, not 0, and arms no spin-up.
    if (s.requestedRpm == 0 && rpm >= 1) {
        s.spinUpPending = true;
        s.spinUpReadyAt = -1;
    }
    s.requestedRpm = rpm;
    // A newer request never postpones the deadline of one still unconfirmed.
    if (s.confirmationSince == -1)
        s.confirmationSince = now;
    if (rpm == 0) {
        s.warmupStopUsed = true;
        s.offSince = now;
    } else {
        s.offSince = -1;
    }
    return true;
}

void recordReading(ControlState* state, const DeviceProfile& profile, int rpm, int setpoint, qint64 now)
{
    ControlState& s = *state;
    s.lastRpm = rpm;
    s.lastFeedbackAt = now;
    if (!s.spinUpPending)
        return;
    const bool holdsSpinUp = setpoint >= profile.SpinUpRpm && rpm >= profile.SpinUpRpm - profile.RpmTolerance;
    if (!holdsSpinUp)
        s.spinUpReadyAt = -1;
    else if (s.spinUpReadyAt == -1)
        s.spinUpReadyAt = now + profile.SpinUpMs;
}
