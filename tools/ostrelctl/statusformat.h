#pragma once

#include <ostrel-client/guardclient.h>

#include <QJsonObject>
#include <QString>

// Ways to show a guard status to people and to plotting tools. Whatever the guard sent is shown
// without its control characters, so that text from the socket cannot drive the terminal.
QString printable(const QString& text);
QJsonObject printable(const QJsonObject& status);
QString statusBlock(const ostrel::GuardStatus& status);
QString statusLine(const ostrel::GuardStatus& status);
QString csvField(const QString& text);
// The status columns of a CSV row, without a line end:
// requested_rpm,rpm,rpm_valid,age_ms,ready,fault,reason
QString statusCsvColumns(const ostrel::GuardStatus& status);
