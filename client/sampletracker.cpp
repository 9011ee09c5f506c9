// The client's sensor stream, numbered and aged as the guard expects.
#include <ostrel-client/sampletracker.h>

#include <QDateTime>
#include <QDeadlineTimer>
#include <cmath>

namespace ostrel {

qint64 monotonicMs() { return QDeadlineTimer::current().deadline(); }

SampleTracker::SampleTracker(const QString& serial, const QString& session, quint64 firstSequence)
    : nextSequence(firstSequence ? firstSequence : quint64(QDateTime::currentMSecsSinceEpoch()) * 1000)
{
    last.serial = serial;
    last.session = session;
}

void SampleTracker::measured(double temperatureC, qint64 atMs)
{
    last.valid = std::isfinite(temperatureC);
    last.temperatureC = last.valid ? temperatureC : 0;
    last.sequence = nextSequence++;
    measuredAtMs = atMs;
}

Sample SampleTracker::sample(qint64 nowMs) const
{
    Sample current = last;
    current.ageMs = qMax<qint64>(0, nowMs - measuredAtMs);
    return current;
}

} // namespace ostrel
