// Readable and tabular forms of the guard's status.
#include "statusformat.h"

QString printable(const QString& text)
{
    QString shown;
    shown.reserve(text.size());
    // By code point, so that a character outside the basic plane is not taken for two halves.
    for (const uint c : text.toUcs4()) {
        if (QChar::isPrint(c))
            shown += QString::fromUcs4(&c, 1);
    }
    return shown;
}

QJsonObject printable(const QJsonObject& status)
{
    QJsonObject shown;
    for (auto member = status.begin(); member != status.end(); ++member)
        shown.insert(printable(member.key()),
            member.value().isString() ? QJsonValue(printable(member.value().toString())) : member.value());
    return shown;
}

namespace {

QString feedback(const ostrel::GuardStatus& s)
{
    const int ageMs = int(s.ageMs);
    if (ageMs < 0)
        return QStringLiteral("no reading");
    return QStringLiteral("%1 rpm, %2 ms ago%3")
        .arg(s.rpm)
        .arg(ageMs)
        .arg(s.rpmValid ? QString() : QStringLiteral(" (stale)"));
}

QString condition(const ostrel::GuardStatus& s)
{
    if (s.fault)
        return QStringLiteral("FAULT: ") + printable(s.reason);
    return s.ready ? QStringLiteral("ready") : QStringLiteral("not ready");
}

} // namespace

QString statusBlock(const ostrel::GuardStatus& s)
{
    const bool leased = !s.lease.isEmpty();
    return QStringLiteral("guard:      %1%2\n"
                          "requested:  %3 rpm\n"
                          "measured:   %4\n"
                          "lease:      %5\n"
                          "sequence:   %6\n"
                          "serial:     %7\n"
                          "session:    %8\n")
        .arg(condition(s), s.simulation ? QStringLiteral(" (simulation)") : QString())
        .arg(s.requestedRpm)
        .arg(feedback(s), leased ? QStringLiteral("held") : QStringLiteral("free"), QString::number(s.commandSequence),
            printable(s.serial), printable(s.session));
}

QString statusLine(const ostrel::GuardStatus& s)
{
    return QStringLiteral("requested %1 rpm, measured %2, lease %3, %4")
        .arg(s.requestedRpm)
        .arg(feedback(s), s.lease.isEmpty() ? QStringLiteral("free") : QStringLiteral("held"), condition(s));
}

QString csvField(const QString& text)
{
    if (!text.contains(QLatin1Char(',')) && !text.contains(QLatin1Char('"')) && !text.contains(QLatin1Char('\n')))
        return text;
    QString quoted = text;
    quoted.replace(QLatin1String("\""), QLatin1String("\"\""));
    return QLatin1Char('"') + quoted + QLatin1Char('"');
}

QString statusCsvColumns(const ostrel::GuardStatus& s)
{
    return QStringLiteral("%1,%2,%3,%4,%5,%6,")
               .arg(s.requestedRpm)
               .arg(s.rpm)
               .arg(int(s.rpmValid))
               .arg(s.ageMs)
               .arg(int(s.ready))
               .arg(int(s.fault))
        + csvField(printable(s.reason));
}
