#pragma once

#include "profile/controlrequest.h"
#include "profile/deviceprofile.h"

#include <QJsonObject>
#include <QString>

// What the guard knows when a control request arrives, as plain values: the lease's
// counters and deadline, the sample stream, the fan's feedback, and the stop and
// spin-up state. Times are guardClock milliseconds; -1 means none.
struct ControlState {
    quint64 commandSequence = 0;
    quint64 commandProgress = 0;
    qint64 leaseDeadline = -1;
    QString sampleSession;
    quint64 sampleSequence = 0;
    double sampleTemperatureC = 0.0;
    qint64 sampleDeadline = -1;
    bool sampleDeadlineArmed = false;
    int freshSampleCount = 0;
    qint64 lastFeedbackAt = -1;
    int lastRpm = 0;
    int requestedRpm = -1;
    bool spinUpPending = false;
    qint64 spinUpReadyAt = -1;
    bool warmupStopUsed = false;
    qint64 offSince = -1;
};

// The control-request rules, in the order the guard applies them, at guard time now.
// wellFormed says whether the message decoded (its type, counters and sample). Returns
// the reason of the first rule the request breaks, or an empty string when it is
// accepted. *state then holds what the guard records: on acceptance the counters, the
// sample and the renewed lease; on a refusal whatever it had recorded by then.
QString checkControlRequest(
    const ControlRequest& request, bool wellFormed, const DeviceProfile& profile, qint64 now, ControlState* state);

// The checks every message meets before its type counts: the protocol version, then, for every
// type but "hello", the lease and the guard session it names. Returns the refusal's reason, or
// an empty string when the message may go on.
QString checkEnvelope(const QJsonObject& message, const QString& leaseToken, const QString& guardSession);
