// Control requests: safety bounds, sample identity and deadline, the stop and spin-up rules, and acceptance.
#include "service/rfufanguardservice.h"

#include "guard/guardrules.h"
#include "profile/profilevalidation.h"
#include "protocol/controlparsing.h"

#include <QJsonValue>
#include <limits>

void RfuFanGuardService::handleControl(const QJsonObject& message)
{
    ControlRequest request;
    const QJsonValue rpmValue = message.value(QLatin1String("rpm"));
    request.rpm = rpmValue.isDouble() ? rpmValue.toDouble() : -1;
    const QJsonValue targetValue = message.value(QLatin1String("targetC"));
    request.TargetTemperatureC
        = targetValue.isDouble() ? targetValue.toDouble() : std::numeric_limits<double>::quiet_NaN();
    const qint64 now = guardClock.elapsed();
    const TemperatureSample& sample = request.sample;

    QString ignoredReason;
    const bool withinBounds = message.value(QLatin1String("type")).toString() == QLatin1String("control")
        && parseDecimalCounter(message.value(QLatin1String("sequence")), &request.sequence)
        && parseDecimalCounter(message.value(QLatin1String("progress")), &request.progress)
        && request.sequence > commandSequence && request.progress > commandProgress
        && parseTemperatureSample(message.value(QLatin1String("sample")).toObject(), &request.sample) && sample.valid
        && sample.serial == profile.DeviceSerial && sample.ageMs <= profile.MaximumSampleAgeMs
        && sample.temperatureC >= profile.SensorMinimumC && sample.temperatureC < profile.MaximumTemperatureC
        && feedbackFresh(now, lastFeedbackAt, profile.MaximumFeedbackAgeMs)
        && validateTargetTemperature(request, profile, &ignoredReason)
        && rpmWithinBounds(request.rpm, profile.MaximumRpm) && now <= leaseDeadline;
    if (!withinBounds) {
        refuseClient(QStringLiteral("Control request violates safety bounds"));
        return;
    }

    // The sample stream only moves forwards, across leases and clients: a
    // repeated sample must carry the same temperature, a new one a higher sequence.
    if ((!sampleSession.isEmpty() && sample.session != sampleSession) || sample.sequence < sampleSequence
        || (sample.sequence == sampleSequence && sample.temperatureC != sampleTemperatureC)) {
        refuseClient(QStringLiteral("Device session or sample identity changed"));
        return;
    }

    // The moment the measurement becomes MaximumSampleAgeMs old; re-sending a
    // sample never extends its life.
    qint64 deadline = now + profile.MaximumSampleAgeMs - sample.ageMs;
    if (sample.sequence == sampleSequence)
        deadline = qMin(sampleDeadline, deadline);
    else
        freshSampleCount = qMin(freshSampleCount + 1, 2);
    sampleDeadline = deadline;
    if (now >= deadline) {
        refuseClient(QStringLiteral("Temperature sample expired"));
        return;
    }

    const QString state = message.value(QLatin1String("state")).toString();

    // Only here does a spin-up end: the fan has held the spin-up speed long
    // enough and the feedback still shows it.
    if (spinUpPending && spinUpReadyAt >= 0 && now >= spinUpReadyAt
        && feedbackFresh(now, lastFeedbackAt, profile.MaximumFeedbackAgeMs)
        && lastRpm >= profile.SpinUpRpm - profile.RpmTolerance)
        spinUpPending = false;

    const int rpm = int(request.rpm);
    bool unsafe = false;
    if (rpm == 0) {
        // The one warm-up stop: cold, announced, resting on two fresh samples,
        // and only before any safety request (or to keep an ongoing stop).
        unsafe = state != QLatin1String("WarmupOff") || freshSampleCount < 2 || (warmupStopUsed && offSince < 0)
            || !(sample.temperatureC < request.TargetTemperatureC - profile.LeadC);
    } else {
        unsafe = rpm < profile.MinimumRpm || rpm % profile.RpmStep != 0;
    }
    if ((requestedRpm == 0 && rpm > 0 && rpm < profile.SpinUpRpm) || (spinUpPending && rpm < profile.SpinUpRpm))
        unsafe = true;
    if (unsafe) {
        refuseClient(QStringLiteral("Unsafe stop or spin-up request"));
        return;
    }

    sampleSession = sample.session;
    sampleSequence = sample.sequence;
    sampleTemperatureC = sample.temperatureC;
    commandSequence = request.sequence;
    commandProgress = request.progress;
    sampleDeadlineArmed = true;
    leaseDeadline = now + profile.LeaseMs;
    // The client's speed is taken as it is or refused; never adjusted.
    requestRpm(rpm);
    sendStatus();
}
