// Readable and tabular forms of the guard's status.
#include "statusformat.h"

namespace {

QString feedback(const QJsonObject& s)
{
    const int ageMs = s.value(QLatin1String("ageMs")).toInt();
    if (ageMs < 0)
        return QStringLiteral("no reading");
    return QStringLiteral("%1 rpm, %2 ms ago%3")
        .arg(s.value(QLatin1String("rpm")).toInt())
        .arg(ageMs)
        .arg(s.value(QLatin1String("rpmValid")).toBool() ? QString() : QStringLiteral(" (stale)"));
}

QString condition(const QJsonObject& s)
{
    if (s.value(QLatin1String("fault")).toBool())
        return QStringLiteral("FAULT: ") + s.value(QLatin1String("reason")).toString();
    return s.value(QLatin1String("ready")).toBool() ? QStringLiteral("ready") : QStringLiteral("not ready");
}

} // namespace

QString statusBlock(const QJsonObject& s)
{
    const bool leased = !s.value(QLatin1String("lease")).toString().isEmpty();
    return QStringLiteral("guard:      %1%2\n"
                          "requested:  %3 rpm\n"
                          "measured:   %4\n"
                          "lease:      %5\n"
                          "sequence:   %6\n"
                          "serial:     %7\n"
                          "session:    %8\n")
        .arg(condition(s), s.value(QLatin1String("simulation")).toBool() ? QStringLiteral(" (simulation)") : QString())
        .arg(s.value(QLatin1String("requestedRpm")).toInt())
        .arg(feedback(s), leased ? QStringLiteral("held") : QStringLiteral("free"),
            s.value(QLatin1String("commandSequence")).toString(), s.value(QLatin1String("serial")).toString(),
            s.value(QLatin1String("session")).toString());
}

QString statusLine(const QJsonObject& s)
{
    return QStringLiteral("requested %1 rpm, measured %2, lease %3, %4")
        .arg(s.value(QLatin1String("requestedRpm")).toInt())
        .arg(feedback(s),
            s.value(QLatin1String("lease")).toString().isEmpty() ? QStringLiteral("free") : QStringLiteral("held"),
            condition(s));
}

QString csvField(const QString& text)
{
    if (!text.contains(QLatin1Char(',')) && !text.contains(QLatin1Char('"')) && !text.contains(QLatin1Char('\n')))
        return text;
    QString quoted = text;
    quoted.replace(QLatin1String("\""), QLatin1String("\"\""));
    return QLatin1Char('"') + quoted + QLatin1Char('"');
}

QString statusCsvColumns(const QJsonObject& s)
{
    const auto number = [&](const char* key) { return s.value(QLatin1String(key)).toInt(); };
    const auto flag = [&](const char* key) { return s.value(QLatin1String(key)).toBool() ? 1 : 0; };
    return QStringLiteral("%1,%2,%3,%4,%5,%6,")
               .arg(number("requestedRpm"))
               .arg(number("rpm"))
               .arg(flag("rpmValid"))
               .arg(number("ageMs"))
               .arg(flag("ready"))
               .arg(flag("fault"))
        + csvField(s.value(QLatin1String("reason")).toString());
}
