#pragma once

#include <ostrel-client/export.h>

#include <QString>
#include <QtGlobal>

namespace ostrel {

// A temperature sample as a control request carries it.
struct Sample {
    bool valid = false;
    QString serial;
    QString session;
    quint64 sequence = 0;
    double temperatureC = 0;
    qint64 ageMs = 0;
};

// Milliseconds of the monotonic clock that the library measures every time on.
OSTREL_CLIENT_EXPORT qint64 monotonicMs();

// The client's sensor stream, kept to the guard's identity rules: one stream session for the
// life of the guard, a sequence that grows with every new measurement and never goes back,
// and a sample sent again that keeps its sequence, its temperature and its age.
class OSTREL_CLIENT_EXPORT SampleTracker {
public:
    // firstSequence: the sequence of the first measurement. The guard remembers the stream
    // across clients, so a client that starts again must go on above its last sequence; the
    // default, the wall clock in microseconds, does that without storing anything.
    SampleTracker(const QString& serial, const QString& session, quint64 firstSequence = 0);

    // A new measurement, taken at atMs (monotonicMs()). A temperature that is not finite is
    // recorded as an invalid sample, which the guard refuses.
    void measured(double temperatureC, qint64 atMs = monotonicMs());
    bool hasSample() const { return last.sequence != 0; }
    // The last measurement as a request made at nowMs carries it.
    Sample sample(qint64 nowMs = monotonicMs()) const;

private:
    Sample last;
    qint64 measuredAtMs = 0;
    quint64 nextSequence;
};

} // namespace ostrel
