// Parsing the fan program's speed reply.
#include "backend/rpmreply.h"

#include <QRegularExpression>

bool parseRpmReply(const QByteArray& output, const QString& pattern, int maximumRpm, int toleranceRpm, int* rpm)
{
    // Built anew for every reply; anchoring keeps the pattern's group numbers.
    const QRegularExpression expression(QRegularExpression::anchoredPattern(pattern));
    const QRegularExpressionMatch match = expression.match(QString::fromUtf8(output).trimmed());
    if (!match.hasMatch())
        return false;
    bool converted = false;
    const int value = match.captured(1).toInt(&converted, 10);
    if (!converted || value < 0 || qint64(value) > qint64(maximumRpm) + qint64(toleranceRpm))
        return false;
    *rpm = value;
    return true;
}
