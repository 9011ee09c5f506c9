#pragma once

#include <QByteArray>
#include <QString>

// Parses the reply of a read command: the trimmed UTF-8 text must match
// pattern as a whole, and its group 1 must hold a speed in
// 0 ..= maximumRpm + toleranceRpm. Writes *rpm only for a valid reply.
bool parseRpmReply(const QByteArray& output, const QString& pattern, int maximumRpm, int toleranceRpm, int* rpm);
