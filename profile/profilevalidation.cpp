// The safety rules a device profile must satisfy before the guard runs with it.
#include "profile/profilevalidation.h"

#include "profile/failwith.h"

#include <QRegularExpression>
#include <cmath>
#include <initializer_list>

namespace {

constexpr double kArithmeticEnvelope = 1000000.0;
constexpr double kAbsoluteZeroC = -273.15;
constexpr int kMaximumRpmLimit = 10000000;
constexpr int kOneDayMs = 86400000;
constexpr int kOneMinuteMs = 60000;
constexpr int kTenMinutesMs = 600000;
constexpr qint64 kStopTimeBudgetMs = 25000;

bool attestationsConfirmed(const DeviceProfile& p)
{
    return p.Validated && p.SampleFreshnessVerified && p.ExclusiveControlConfirmed;
}

bool identityConfigured(const DeviceProfile& p)
{
    const QString serial = p.DeviceSerial.trimmed();
    return !serial.isEmpty() && serial == p.DeviceSerial && !p.BackendProgram.trimmed().isEmpty()
        && !p.RpmReadPattern.trimmed().isEmpty();
}

// The reply of a read command is matched against this pattern; group 1 is the
// speed, and a pattern that matches nothing at all would accept an empty reply.
// The answer depends on the pattern's text alone, and every control request asks
// again: the last answer is kept (per thread, for the client library's sake), so
// that a pattern is compiled once, not once a request.
bool replyPatternUsable(const DeviceProfile& p)
{
    thread_local QString checkedPattern;
    thread_local bool checked = false;
    thread_local bool usable = false;
    if (!checked || p.RpmReadPattern != checkedPattern) {
        const QRegularExpression pattern(p.RpmReadPattern);
        usable = pattern.isValid() && pattern.captureCount() == 1 && !pattern.match(QStringLiteral("")).hasMatch();
        checkedPattern = p.RpmReadPattern;
        checked = true;
    }
    return usable;
}

bool withinEnvelope(const DeviceProfile& p)
{
    for (double value :
        { p.MinimumTargetC, p.MaximumTargetC, p.SensorMinimumC, p.MaximumTemperatureC, p.RecoveryTemperatureC, p.LeadC,
            p.LeadSeconds, p.FilterSeconds, p.Kp, p.Ki, p.SlewPerSecond, p.StableBandC, p.StableSlopeCPerSecond }) {
        if (!std::isfinite(value) || std::fabs(value) > kArithmeticEnvelope)
            return false;
    }
    return true;
}

bool temperatureLadderConsistent(const DeviceProfile& p)
{
    return p.SensorMinimumC >= kAbsoluteZeroC && p.SensorMinimumC < p.MinimumTargetC
        && p.MinimumTargetC <= p.MaximumTargetC && p.StableBandC > 0
        && p.MaximumTargetC + p.StableBandC < p.RecoveryTemperatureC && p.RecoveryTemperatureC < p.MaximumTemperatureC
        && p.LeadC > 0 && p.SensorMinimumC < p.MinimumTargetC - p.LeadC;
}

bool rpmGridConsistent(const DeviceProfile& p)
{
    if (p.MinimumRpm <= 0 || p.MaximumRpm < p.MinimumRpm || p.MaximumRpm > kMaximumRpmLimit)
        return false;
    if (p.SpinUpRpm < p.MinimumRpm || p.SpinUpRpm > p.MaximumRpm)
        return false;
    if (p.RpmStep < 1 || p.RpmStep > p.MinimumRpm)
        return false;
    if (p.RpmTolerance < 0 || p.RpmTolerance >= p.MinimumRpm)
        return false;
    return p.MinimumRpm % p.RpmStep == 0 && p.MaximumRpm % p.RpmStep == 0 && p.SpinUpRpm % p.RpmStep == 0;
}

bool timeoutsInRange(const DeviceProfile& p)
{
    for (int ms : { p.SpinUpMs, p.SettlingMs, p.MaximumOffMs, p.CommandTimeoutMs, p.MaximumSampleAgeMs, p.LeaseMs,
             p.MaximumFeedbackAgeMs, p.StableHoldMs }) {
        if (ms < 1 || ms > kOneDayMs)
            return false;
    }
    return true;
}

bool deadlinesShort(const DeviceProfile& p)
{
    for (int ms : { p.CommandTimeoutMs, p.MaximumSampleAgeMs, p.LeaseMs, p.MaximumFeedbackAgeMs }) {
        if (ms > kOneMinuteMs)
            return false;
    }
    return p.SpinUpMs <= kTenMinutesMs && p.SettlingMs <= kTenMinutesMs;
}

bool orderingAndCoefficientsSafe(const DeviceProfile& p)
{
    return p.CommandTimeoutMs < p.LeaseMs && p.MaximumFeedbackAgeMs <= p.LeaseMs
        && qint64(p.CommandTimeoutMs) + qint64(p.SpinUpMs) <= qint64(p.SettlingMs)
        && p.MaximumSampleAgeMs <= p.MaximumOffMs && p.SpinUpMs / 1000.0 <= p.LeadSeconds && p.FilterSeconds > 0
        && p.Kp > 0 && p.Ki >= 0 && p.SlewPerSecond > 0 && p.StableSlopeCPerSecond > 0;
}

} // namespace

bool validateDeviceProfile(const DeviceProfile& profile, QString* error)
{
    if (error)
        error->clear();
    if (!attestationsConfirmed(profile))
        return failWith(
            error, QStringLiteral("Device validation, sample freshness and exclusive control must all be confirmed"));
    if (!identityConfigured(profile))
        return failWith(error, QStringLiteral("Device identity and backend fields must be explicitly configured"));
    if (!replyPatternUsable(profile))
        return failWith(error, QStringLiteral("RpmReadPattern must have one capture and must not match empty input"));
    if (!withinEnvelope(profile))
        return failWith(
            error, QStringLiteral("Device numeric fields must be finite and within the arithmetic envelope"));
    if (!temperatureLadderConsistent(profile))
        return failWith(error, QStringLiteral("Invalid temperature range, recovery margin or lead margin"));
    if (!rpmGridConsistent(profile))
        return failWith(error, QStringLiteral("Invalid RPM bounds, step, tolerance or spin-up speed"));
    if (!timeoutsInRange(profile))
        return failWith(error, QStringLiteral("Thermal timeouts must be positive and at most one day"));
    if (!deadlinesShort(profile))
        return failWith(error,
            QStringLiteral("Safety freshness/lease deadlines exceed one minute or fan settling exceeds ten minutes"));
    if (!orderingAndCoefficientsSafe(profile))
        return failWith(error, QStringLiteral("Unsafe timeout ordering or invalid control coefficients"));
    return true;
}

bool validateRecoveryProfile(const DeviceProfile& profile, QString* error)
{
    if (error)
        error->clear();
    if (!replyPatternUsable(profile))
        return failWith(error, QStringLiteral("RpmReadPattern must have one capture and must not match empty input"));
    // A stopped fan must never confirm the safe speed.
    if (profile.MaximumRpm <= 0 || profile.MaximumRpm > kMaximumRpmLimit || profile.RpmTolerance < 0
        || profile.RpmTolerance >= profile.MaximumRpm)
        return failWith(error, QStringLiteral("Invalid RPM bounds, step, tolerance or spin-up speed"));
    if (profile.CommandTimeoutMs < 1 || profile.SettlingMs < 1)
        return failWith(error, QStringLiteral("Thermal timeouts must be positive and at most one day"));
    if (profile.CommandTimeoutMs > kOneMinuteMs || profile.SettlingMs > kTenMinutesMs)
        return failWith(error,
            QStringLiteral("Safety freshness/lease deadlines exceed one minute or fan settling exceeds ten minutes"));
    return true;
}

qint64 recoveryDeadlineMs(const DeviceProfile& profile)
{
    return qint64(profile.CommandTimeoutMs) * 5 + profile.SettlingMs;
}

bool checkRecoveryBudget(const DeviceProfile& profile, QString* error)
{
    if (recoveryDeadlineMs(profile) > kStopTimeBudgetMs)
        return failWith(error, QStringLiteral("Recovery deadlines exceed the service stop-time budget"));
    return true;
}
