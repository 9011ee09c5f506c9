// The guard's status for monitoring: one scrape in the Prometheus text format.
#include "metrics.h"

#include "guardconnection.h"
#include "metricsformat.h"
#include "statusformat.h"

#include "profile/deviceprofile.h"

#include <QDateTime>
#include <QFileInfo>
#include <QSaveFile>
#include <cstdio>

namespace {

constexpr int kExitScraped = 0;
constexpr int kExitFailure = 2;
// A guard that has not answered by then counts as down: the next scrape is only seconds away.
constexpr int kScrapeTimeoutMs = 1000;

int failure(const QString& message)
{
    std::fprintf(stderr, "ostrelctl: %s\n", qPrintable(message));
    return kExitFailure;
}

} // namespace

int metrics(const QString& socketPath, const QString& profilePath, const QString& outputPath)
{
    // A guard without a status socket is read on its control socket, which serves one client at
    // a time: there a scrape fails while the thermal-control client is connected, and a client
    // connecting during the scrape is turned away.
    const QString path = statusReadPath(socketPath);
    GuardConnection connection;
    QString error;
    QJsonObject status;
    // Why no guard answered is left to ostrelctl status: a stopped guard must not fill the
    // journal with a line every scrape, and ostrel_up 0 says it all.
    const bool up = connection.open(path, kScrapeTimeoutMs, &error)
        && connection.nextStatus(0, &status) == GuardConnection::Read::Status;
    connection.close();

    // The guard creates its socket when it starts listening, and never touches it again, so the
    // file's modification time is when its session began.
    const QDateTime modified = QFileInfo(path).lastModified();
    const qint64 sessionStart = modified.isValid() ? modified.toSecsSinceEpoch() : -1;

    DeviceProfile profile;
    bool profileLoaded = false;
    if (up && !profilePath.isEmpty()) {
        profileLoaded = loadProfileQuietly(profilePath, &profile, &error);
        if (!profileLoaded)
            std::fprintf(stderr, "ostrelctl: no profile metrics: %s\n", qPrintable(error));
    }
    const QJsonObject shown = printable(status);
    const QByteArray text
        = prometheusMetrics(up ? &shown : nullptr, sessionStart, profileLoaded ? &profile : nullptr).toUtf8();

    if (outputPath.isEmpty()) {
        std::fwrite(text.constData(), 1, size_t(text.size()), stdout);
        return std::fflush(stdout) == 0 ? kExitScraped : failure(QStringLiteral("cannot write standard output"));
    }
    // The collector may read the file at any moment: it sees the last scrape or this one, whole.
    QSaveFile file(outputPath);
    if (!file.open(QIODevice::WriteOnly) || file.write(text) != text.size() || !file.commit())
        return failure(QStringLiteral("cannot write %1: %2").arg(outputPath, file.errorString()));
    return kExitScraped;
}
