#pragma once

#include <ostrel-client/guardclient.h>

#include <QString>

// Ways to show a guard status to people and to plotting tools.
QString statusBlock(const ostrel::GuardStatus& status);
QString statusLine(const ostrel::GuardStatus& status);
QString csvField(const QString& text);
// The status columns of a CSV row, without a line end:
// requested_rpm,rpm,rpm_valid,age_ms,ready,fault,reason
QString statusCsvColumns(const ostrel::GuardStatus& status);
