#pragma once

#include <QJsonObject>
#include <QString>

// Ways to show a guard status to people and to plotting tools.
QString statusBlock(const QJsonObject& status);
QString statusLine(const QJsonObject& status);
QString csvField(const QString& text);
