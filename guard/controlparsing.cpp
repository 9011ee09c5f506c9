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
    // Digit by digit: a number past 64 bits is refused, not wrapped.
    quint64 counter = 0;
    for (const QChar c : text) {
        if (c < QLatin1Char('0') || c > QLatin1Char('9'))
            return false;
        const unsigned digit = c.unicode() - '0';
        if (counter > (std::numeric_limits<quint64>::max() - digit) / 10)
            return false;
        counter = counter * 10 + digit;
    }
    *out = counter;
    return true;
}

bool parseTemperatureSample(const QJsonObject& object, TemperatureSample* sample)
{
    // Each member looked up once: a lookup costs more than the checks on it.
    const QJsonValue valid = object.value(QLatin1String("valid"));
    const QJsonValue serial = object.value(QLatin1String("serial"));
    const QJsonValue session = object.value(QLatin1String("session"));
    const QJsonValue temperatureC = object.value(QLatin1String("temperatureC"));
    const QJsonValue ageValue = object.value(QLatin1String("ageMs"));
    if (!valid.isBool() || !serial.isString() || !session.isString() || !temperatureC.isDouble() || !ageValue.isDouble()
        || !parseDecimalCounter(object.value(QLatin1String("sequence")), &sample->sequence))
        return false;

    const double ageMs = ageValue.toDouble();
    sample->valid = valid.toBool();
    sample->serial = serial.toString();
    sample->session = session.toString();
    sample->temperatureC = temperatureC.toDouble();

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

bool decodeControlRequest(const QJsonObject& message, const QString& type, ControlRequest* request)
{
    const QJsonValue rpmValue = message.value(QLatin1String("rpm"));
    request->rpm = rpmValue.isDouble() ? rpmValue.toDouble() : -1;
    const QJsonValue targetValue = message.value(QLatin1String("targetC"));
    request->TargetTemperatureC
        = targetValue.isDouble() ? targetValue.toDouble() : std::numeric_limits<double>::quiet_NaN();
    request->state = message.value(QLatin1String("state")).toString();
    return type == QLatin1String("control")
        && parseDecimalCounter(message.value(QLatin1String("sequence")), &request->sequence)
        && parseDecimalCounter(message.value(QLatin1String("progress")), &request->progress)
        && parseTemperatureSample(message.value(QLatin1String("sample")).toObject(), &request->sample);
}
