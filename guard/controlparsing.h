#pragma once

#include "guard/controlrequest.h"

#include <QJsonObject>
#include <QJsonValue>

// The longest serial or sample session a sample may name.
constexpr int kMaximumIdentityLength = 256;

// Decodes an unsigned 64-bit counter sent as a JSON string of ASCII digits
// (leading zeros allowed; no sign, blank or JSON number). Writes *out on a
// successful conversion.
bool parseDecimalCounter(const QJsonValue& value, quint64* out);

// Checks the types and limits of a "sample" object and decodes it into *sample.
bool parseTemperatureSample(const QJsonObject& object, TemperatureSample* sample);

// A requested speed must be a whole number of RPM in 0 ..= maximumRpm.
bool rpmWithinBounds(double rpm, int maximumRpm);

// Decodes a control message of the given type (its "type", read once by the caller) into
// *request: "rpm" (-1 unless a number), "targetC" (NaN unless a number), "state", and through the
// parsers above the counters and the sample. Returns whether the message is well formed: its type
// is "control" and the counters and the sample decoded. The guard and the client library both
// read requests through this one function.
bool decodeControlRequest(const QJsonObject& message, const QString& type, ControlRequest* request);
