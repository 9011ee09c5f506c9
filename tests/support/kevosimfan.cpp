// A private kevo-sim fan per test.
#include "kevosimfan.h"

#include <QFile>

KevoSimFan::KevoSimFan() { setControl("lag-ms=0\n"); }

void KevoSimFan::setControl(const QByteArray& text)
{
    QFile file(dir.filePath(QStringLiteral("fan.state.control")));
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate) || file.write(text) != text.size())
        qFatal("Cannot write the kevo-sim control file");
}

QStringList KevoSimFan::commandLog() const
{
    QFile file(dir.filePath(QStringLiteral("commands.log")));
    if (!file.open(QIODevice::ReadOnly))
        return {};
    QStringList lines = QString::fromUtf8(file.readAll()).split(QLatin1Char('\n'));
    lines.removeAll(QString());
    return lines;
}

QMap<QString, QString> KevoSimFan::environment() const
{
    return {
        { QStringLiteral("KEVO_SIM_STATE"), dir.filePath(QStringLiteral("fan.state")) },
        { QStringLiteral("KEVO_SIM_CONTROL"), dir.filePath(QStringLiteral("fan.state.control")) },
        { QStringLiteral("KEVO_SIM_LOG"), dir.filePath(QStringLiteral("commands.log")) },
    };
}

void KevoSimFan::exportToThisProcess() const
{
    const auto variables = environment();
    for (auto variable = variables.cbegin(); variable != variables.cend(); ++variable)
        qputenv(variable.key().toLatin1().constData(), variable.value().toUtf8());
}
