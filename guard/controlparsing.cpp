// Decoding the counters and the temperature sample of a control request.
#include "guard/controlparsing.h"

#include <cmath>
#include <limits>

namespace {

constexpr double kMaximumSampleAgeMs = 3600000; // one hour

bool identityLengthValid(const QString& text) { return !text.isEmpty() && text.size() <= kMaximumIdentityLength; }

} // namespace

bool parseDecimalCounter(const QJsonValue& value, quint64* out)
{
    if (!value.isString())
        return false;
    const QString text = value.toString();
    if (text.isEmpty())
        return false;
    for (const QChar c : text) {
        if (c < QLatin1Char('0') || c > QLatin1Char('9'))
            return false;
    }
    bool converted = false;
    *out = text.toULongLong(&converted, 10);
    return converted;
}

bool parseTemperatureSample(const QJsonObject& object, TemperatureSample* sample)
{
    if (!object.value(QLatin1String("valid")).isBool() || !object.value(QLatin1String("serial")).isString()
        || !object.value(QLatin1String("session")).isString() || !object.value(QLatin1String("temperatureC")).isDouble()
        || !object.value(QLatin1String("ageMs")).isDouble()
        || !parseDecimalCounter(object.value(QLatin1String("sequence")), &sample->sequence))
        return false;

    const double ageMs = object.value(QLatin1String("ageMs")).toDouble();
    sample->valid = object.value(QLatin1String("valid")).toBool();
    sample->serial = object.value(QLatin1String("serial")).toString();
    sample->session = object.value(QLatin1String("session")).toString();
    sample->temperatureC = object.value(QLatin1String("temperatureC")).toDouble();

    if (!std::isfinite(ageMs) || ageMs < 0 || ageMs > kMaximumSampleAgeMs || std::floor(ageMs) != ageMs)
        return false;
    if (!std::isfinite(sample->temperatureC) || !identityLengthValid(sample->serial)
        || !identityLengthValid(sample->session) || sample->sequence == 0)
        return false;
    sample->ageMs = qint64(ageMs);
    return true;
}

bool rpmWithinBounds(double rpm, int maximumRpm)
{
    return std::isfinite(rpm) && rpm >= 0 && rpm <= maximumRpm && std::floor(rpm) == rpm;
}

bool decodeControlRequest(const QJsonObject& message, ControlRequest* request)
{
    const QJsonValue rpmValue = message.value(QLatin1String("rpm"));
    request->rpm = rpmValue.isDouble() ? rpmValue.toDouble() : -1;
    const QJsonValue targetValue = message.value(QLatin1String("targetC"));
    request->TargetTemperatureC
        = targetValue.isDouble() ? targetValue.toDouble() : std::numeric_limits<double>::quiet_NaN();
    request->state = message.value(QLatin1String("state")).toString();
    return message.value(QLatin1String("type")).toString() == QLatin1String("control")
        && parseDecimalCounter(message.value(QLatin1String("sequence")), &request->sequence)
        && parseDecimalCounter(message.value(QLatin1String("progress")), &request->progress)
        && parseTemperatureSample(message.value(QLatin1String("sample")).toObject(), &request->sample);
}
