#pragma once

#include "guard/controlrequest.h"
#include "guard/controlstate.h"
#include "profile/deviceprofile.h"

#include <QJsonObject>
#include <QString>

// The rules of the control protocol and the bookkeeping of the control state, as functions of
// plain values. The guard runs them on its state; the client library runs the same ones on its
// copy, so that it checks a request exactly as the guard will.

// The checks every message meets before its type (its "type", read once by the caller) counts:
// the protocol version, then, for every type but "hello", the lease and the guard session it
// names. Returns the refusal's reason, or an empty string when the message may go on.
QString checkEnvelope(
    const QJsonObject& message, const QString& type, const QString& leaseToken, const QString& guardSession);

// The control-request rules, in the order the guard applies them, at time now. wellFormed says
// whether the message decoded (its type, counters and sample). Returns the reason of the first
// rule the request breaks, or an empty string when it is accepted. *state then holds what the
// guard records: on acceptance the counters, the sample and the renewed lease; on a refusal
// whatever it had recorded by then (the sample's deadline, a spin-up's end).
QString checkControlRequest(
    const ControlRequest& request, bool wellFormed, const DeviceProfile& profile, qint64 now, ControlState* state);

// Re-validates the whole profile, then requires request.TargetTemperatureC to be finite and
// inside [MinimumTargetC, MaximumTargetC].
bool validateTargetTemperature(const ControlRequest& request, const DeviceProfile& profile, QString* error);

// A lease granted at now: the counters and the new samples start again, and it lapses LeaseMs on.
// The sample deadline is not armed: no lease has ended with it armed.
void beginLease(ControlState* state, const QString& token, qint64 now, const DeviceProfile& profile);

// The end of a lease, which always brings the safe speed: that spends the warm-up stop.
void endLease(ControlState* state);

// What a new speed records at now: a stop, a start from a stop (a spin-up), and the confirmation
// it awaits. Returns false, recording nothing, when rpm is the speed already commanded.
bool recordRequestedRpm(ControlState* state, int rpm, qint64 now);

// What a reading of rpm, taken under setpoint and seen at now, records: the feedback, and whether
// a spin-up has been held long enough from now on.
void recordReading(ControlState* state, const DeviceProfile& profile, int rpm, int setpoint, qint64 now);
