#pragma once

#include <QJsonObject>
#include <QString>

struct DeviceProfile;

// One scrape of the guard in the Prometheus text exposition format, every metric a gauge.
// status is a status frame as the guard sent it, or null when no guard answered: then the
// scrape is ostrel_up 0 alone. sessionStartSeconds is when the guard's session began, in
// seconds since 1970, negative when unknown (its metric is then left out). profile, when
// given, adds the limits the alerting rules compare against.
// Depends on Qt Core and the profile's record alone, so that the guard's tests can check the
// scrape of every state they reach.
QString prometheusMetrics(const QJsonObject* status, qint64 sessionStartSeconds, const DeviceProfile* profile);
