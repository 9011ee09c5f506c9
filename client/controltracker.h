#pragma once

#include "guard/controlrules.h"

#include <ostrel-client/export.h>
#include <ostrel-client/sampletracker.h>

#include <QJsonObject>
#include <QtMath>
#include <cmath>

namespace ostrel {

// The guard's control state as the client can know it, kept by the guard's own bookkeeping from
// the statuses the client receives and the requests it sends, so that a request can be checked
// by the guard's own rules first. Times are the client's monotonic milliseconds, passed in. The
// guard's clock runs later than this one by a message's transit, so every time limit is taken
// marginMs on the safe side.
// A whole number of a status, checked before it is converted: what no guard sends (not a
// number, a fraction, beyond 2^53) reads as fallback, and an absurd number is no undefined cast.
inline qint64 statusWhole(const QJsonObject& status, const char* key, qint64 fallback)
{
    const double value = status.value(QLatin1String(key)).toDouble(qQNaN());
    const double limit = 9007199254740992.0;
    return value >= -limit && value <= limit && value == std::trunc(value) ? qint64(value) : fallback;
}

class OSTREL_CLIENT_EXPORT ControlTracker {
public:
    ControlTracker(const DeviceProfile& profile, qint64 marginMs);

    void setWarmupStopExpected(bool expected) { warmupStopExpected = expected; }
    void setMarginMs(qint64 margin) { marginMs = margin; }
    void statusReceived(const QJsonObject& status, qint64 now);
    // The next control request of this lease, numbered.
    QJsonObject controlMessage(int rpm, double targetC, const Sample& sample, const QString& state) const;
    // The reason the guard would refuse message with, at now plus a transit; empty when it
    // would accept, and then it counts as sent: a hello starts the lease's time, a control
    // request counts as accepted.
    QString check(const QJsonObject& message, qint64 now);

    QString lease() const { return state.leaseToken; }
    QString session() const { return guardSession; }
    bool warmupStopAvailable(qint64 now) const;
    bool spinUpPending() const { return state.spinUpPending; }
    bool fanStopped() const { return state.requestedRpm == 0; }
    // When the lease, and the last sample, run out at the guard, on this clock and a transit
    // early; -1 without a lease, and for the sample before the lease has sent one.
    qint64 leaseDeadline() const { return state.leaseToken.isEmpty() ? -1 : state.leaseDeadline - marginMs; }
    qint64 sampleDeadline() const
    {
        return state.leaseToken.isEmpty() || !state.sampleDeadlineArmed ? -1 : state.sampleDeadline - marginMs;
    }
    // Whichever of the two is first.
    qint64 deadline() const { return sampleDeadline() < 0 ? leaseDeadline() : qMin(leaseDeadline(), sampleDeadline()); }
    qint64 transitMs() const { return marginMs; }

private:
    void requested(int rpm, qint64 now);
    void readingSeen(int rpm, qint64 ageMs, qint64 now);

    const DeviceProfile& profile;
    qint64 marginMs;
    bool warmupStopExpected = false;
    ControlState state;
    QString guardSession;
    qint64 helloSentAt = -1;
    qint64 spinUpSentAt = -1;
};

} // namespace ostrel
