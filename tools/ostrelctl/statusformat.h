#pragma once

#include <QJsonObject>
#include <QString>

// Ways to show a guard status to people and to plotting tools.
QString statusBlock(const QJsonObject& status);
QString statusLine(const QJsonObject& status);
QString csvField(const QString& text);
// The status columns of a CSV row, without a line end:
// requested_rpm,rpm,rpm_valid,age_ms,ready,fault,reason
QString statusCsvColumns(const QJsonObject& status);
