#include "guard/steadystate.h"

#include "guard/controlparsing.h"
#include "guard/guardrules.h"

QStringList steadyStateWarnings(const DeviceProfile& p)
{
    // Polls come a refresh interval apart, one tick more when one falls between ticks.
    const qint64 pollGapMs = kRefreshIntervalMs + kSupervisionTickMs;
    QStringList warnings;
    if (p.MaximumFeedbackAgeMs <= pollGapMs + p.CommandTimeoutMs)
        warnings << QStringLiteral("MaximumFeedbackAgeMs is not above %1 ms plus CommandTimeoutMs: the fan is read "
                                   "once a second, so a slow read latches \"Fan feedback expired\"")
                        .arg(pollGapMs);
    if (p.SettlingMs <= pollGapMs + 3 * qint64(p.CommandTimeoutMs))
        warnings << QStringLiteral("SettlingMs is not above %1 ms plus three times CommandTimeoutMs: a speed the fan "
                                   "has not reached by its read-back is confirmed too late")
                        .arg(pollGapMs);
    if (p.RpmTolerance == 0)
        warnings << QStringLiteral("RpmTolerance is 0: only a reading of exactly the requested speed confirms it");
    if (p.DeviceSerial.size() > kMaximumIdentityLength)
        warnings << QStringLiteral("DeviceSerial is longer than a sample's serial may be (%1): every control "
                                   "request would be refused")
                        .arg(kMaximumIdentityLength);
    return warnings;
}
