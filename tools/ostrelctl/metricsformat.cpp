// The guard's status as Prometheus gauges.
#include "metricsformat.h"

#include "profile/deviceprofile.h"

#include <QLocale>
#include <QtMath>
#include <cmath>

namespace {

// Label values come from the guard: the three characters the text format escapes, escaped.
QString labelValue(const QString& text)
{
    QString escaped = text;
    escaped.replace(QLatin1Char('\\'), QLatin1String("\\\\"))
        .replace(QLatin1Char('"'), QLatin1String("\\\""))
        .replace(QLatin1Char('\n'), QLatin1String("\\n"));
    return escaped;
}

QString sampleValue(double value)
{
    if (qIsNaN(value))
        return QStringLiteral("NaN");
    if (qIsInf(value))
        return value > 0 ? QStringLiteral("+Inf") : QStringLiteral("-Inf");
    // Whole numbers in full: a start time reads 1796591668, not 1.796591668e+09.
    if (value == std::trunc(value) && qAbs(value) < 1e15)
        return QString::number(qint64(value));
    return QString::number(value, 'g', QLocale::FloatingPointShortest);
}

// A member that is missing or not a number reads as NaN rather than as 0, which would be a value.
double number(const QJsonObject& status, const char* member)
{
    const QJsonValue value = status.value(QLatin1String(member));
    return value.isDouble() ? value.toDouble() : qQNaN();
}

double flag(const QJsonObject& status, const char* member)
{
    return status.value(QLatin1String(member)).toBool() ? 1 : 0;
}

void gauge(QString* out, const char* name, const char* help, double value, const QString& labels = QString())
{
    *out += QStringLiteral("# HELP %1 %2\n# TYPE %1 gauge\n%1%3 %4\n")
                .arg(QLatin1String(name), QLatin1String(help), labels, sampleValue(value));
}

QString label(const char* name, const QString& value)
{
    return QStringLiteral("{%1=\"%2\"}").arg(QLatin1String(name), labelValue(value));
}

} // namespace

QString prometheusMetrics(const QJsonObject* status, qint64 sessionStartSeconds, const DeviceProfile* profile)
{
    QString out;
    gauge(&out, "ostrel_up", "1 when a guard answered with a status, 0 when none did.", status ? 1 : 0);
    if (!status)
        return out;
    const QJsonObject& s = *status;
    gauge(
        &out, "ostrel_ready", "1 when the fan has confirmed the safe speed and no fault is latched.", flag(s, "ready"));
    const bool fault = s.value(QLatin1String("fault")).toBool();
    gauge(&out, "ostrel_fault_latched", "1 while a fault is latched, labelled with its first reason.", fault ? 1 : 0,
        label("reason", fault ? s.value(QLatin1String("reason")).toString() : QString()));
    gauge(&out, "ostrel_requested_rpm", "The fan speed the guard commands.", number(s, "requestedRpm"));
    gauge(&out, "ostrel_fan_rpm", "The fan's last speed reading.", number(s, "rpm"));
    gauge(&out, "ostrel_fan_rpm_valid", "1 when the last reading is recent enough to confirm a speed.",
        flag(s, "rpmValid"));
    const double ageMs = number(s, "ageMs");
    gauge(&out, "ostrel_feedback_age_seconds", "Age of the fan's last speed reading; NaN before any reading.",
        ageMs >= 0 ? ageMs / 1000 : qQNaN());
    gauge(&out, "ostrel_lease_held", "1 while a thermal-control client holds the control lease.",
        s.value(QLatin1String("lease")).toString().isEmpty() ? 0 : 1);
    gauge(&out, "ostrel_simulation", "1 when the guard runs in simulation and drives no fan.", flag(s, "simulation"));
    if (sessionStartSeconds >= 0)
        gauge(&out, "ostrel_session_start_time_seconds", "Start of the guard's session, labelled with its UUID.",
            double(sessionStartSeconds), label("session", s.value(QLatin1String("session")).toString()));
    if (profile) {
        gauge(&out, "ostrel_profile_rpm_tolerance",
            "The profile's RpmTolerance: how far a reading may be from the requested speed.", profile->RpmTolerance);
        gauge(&out, "ostrel_profile_settling_seconds",
            "The profile's SettlingMs: how long the fan has to reach a new speed.", profile->SettlingMs / 1000.0);
    }
    return out;
}
