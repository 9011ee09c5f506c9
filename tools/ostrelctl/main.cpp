// ostrelctl: a command-line client of the fan guard.
#include "demo.h"
#include "guardconnection.h"
#include "metrics.h"
#include "statusformat.h"

#include "guard/steadystate.h"
#include "profile/deviceprofile.h"
#include "profile/profileschema.h"
#include "profile/profilevalidation.h"
#include "profile/trustedfiles.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QJsonDocument>
#include <QTextStream>
#include <cstdio>

namespace {

// Exit codes, for monitoring: status reports the guard's condition.
constexpr int kExitReady = 0;
constexpr int kExitNotReady = 1;
constexpr int kExitFindings = 1; // check-profile: the guard would start, but the file has findings
constexpr int kExitFailure = 2; // cannot connect, bad usage, invalid profile
constexpr int kExitFault = 3;
constexpr int kConnectTimeoutMs = 3000;

const char kUsage[] = "usage: ostrelctl status [--socket PATH] [--json]\n"
                      "       ostrelctl watch [--socket PATH] [--csv FILE]\n"
                      "       ostrelctl check-profile [--values] PATH\n"
                      "       ostrelctl metrics [--socket PATH] [--profile PATH] [--output FILE]\n"
                      "       ostrelctl demo [--socket PATH] --profile PATH [--seconds N] [--csv FILE] "
                      "[--no-warmup-stop]\n";

int failure(const QString& message)
{
    std::fprintf(stderr, "ostrelctl: %s\n", qPrintable(message));
    return kExitFailure;
}

int conditionCode(const ostrel::GuardStatus& status)
{
    if (status.fault)
        return kExitFault;
    return status.ready ? kExitReady : kExitNotReady;
}

int status(const QString& socketPath, bool json)
{
    GuardConnection connection;
    QString error;
    if (!connection.open(statusReadPath(socketPath), kConnectTimeoutMs, &error))
        return failure(error);
    QJsonObject first;
    connection.nextStatus(0, &first);
    connection.close();
    const ostrel::GuardStatus status = ostrel::parseGuardStatus(first);
    const QByteArray text
        = json ? QJsonDocument(printable(first)).toJson(QJsonDocument::Compact) + '\n' : statusBlock(status).toUtf8();
    std::fwrite(text.constData(), 1, size_t(text.size()), stdout);
    return conditionCode(status);
}

int watch(const QString& socketPath, const QString& csvPath)
{
    GuardConnection connection;
    QString error;
    if (!connection.open(statusReadPath(socketPath), kConnectTimeoutMs, &error))
        return failure(error);
    QFile csvFile(csvPath);
    QTextStream csv;
    if (!csvPath.isEmpty()) {
        if (!csvFile.open(QIODevice::WriteOnly | QIODevice::Truncate | QIODevice::Text))
            return failure(QStringLiteral("cannot write %1").arg(csvPath));
        csv.setDevice(&csvFile);
        csv << "time_s,requested_rpm,rpm,rpm_valid,age_ms,ready,fault,reason\n";
        csv.flush();
    }
    QElapsedTimer clock;
    clock.start();
    // Until interrupted, or until the guard goes away.
    for (;;) {
        QJsonObject object;
        const GuardConnection::Read read = connection.nextStatus(60000, &object);
        if (read == GuardConnection::Read::Closed)
            return failure(connection.brokenStream().isEmpty()
                    ? QStringLiteral("the guard closed the connection")
                    : QStringLiteral("the guard sent what is not a status: %1").arg(connection.brokenStream()));
        if (read == GuardConnection::Read::Timeout)
            continue;
        const double seconds = clock.elapsed() / 1000.0;
        const ostrel::GuardStatus s = ostrel::parseGuardStatus(object);
        std::printf("%8.1f s  %s\n", seconds, qPrintable(statusLine(s)));
        std::fflush(stdout);
        if (csv.device()) {
            csv << QString::number(seconds, 'f', 3) << ',' << statusCsvColumns(s) << '\n';
            csv.flush();
        }
    }
}

// The daemon's own load and validation, its start-up budget check and real mode's check of
// who may change the files, so a profile can be checked before a restart; then what the
// load passes over in silence.
int checkProfile(const QString& path, bool values)
{
    DeviceProfile profile;
    QString error;
    if (!loadProfileQuietly(path, &profile, &error) || !checkRecoveryBudget(profile, &error)
        || !checkTrustedFiles(path, profile, &error)) {
        std::fprintf(stderr, "%s\n", qPrintable(error));
        return kExitFailure;
    }
    if (values) {
        for (const QPair<QString, QString>& value : deviceProfileValues(profile))
            std::printf("%s=%s\n", qPrintable(value.first), qPrintable(value.second));
        // Before the lines on standard error, also where both go to one file.
        std::fflush(stdout);
    }
    const QStringList findings = profileKeyFindings(path, profile.BackendProgram);
    for (const QString& finding : findings)
        std::fprintf(stderr, "%s\n", qPrintable(finding));
    // Refused by no rule, but these would still fault in steady state.
    for (const QString& warning : steadyStateWarnings(profile))
        std::fprintf(stderr, "warning: %s\n", qPrintable(warning));
    if (!findings.isEmpty())
        return kExitFindings;
    std::printf("ok\n");
    return kExitReady;
}

} // namespace

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("ostrelctl"));

    QCommandLineParser parser;
    parser.addHelpOption();
    parser.addPositionalArgument(
        QStringLiteral("command"), QStringLiteral("status, watch, check-profile, metrics or demo"));
    parser.addOptions({
        { QStringLiteral("socket"), QStringLiteral("The guard's control socket"), QStringLiteral("path"),
            QStringLiteral("/run/tessovara-rfu/fan.sock") },
        { QStringLiteral("json"), QStringLiteral("status: print the raw status line") },
        { QStringLiteral("csv"), QStringLiteral("watch, demo: also write a CSV row per status"),
            QStringLiteral("file") },
        { QStringLiteral("profile"), QStringLiteral("demo, metrics: the guard's device profile"),
            QStringLiteral("path") },
        { QStringLiteral("seconds"), QStringLiteral("demo: run time (default 90)"), QStringLiteral("n"),
            QStringLiteral("90") },
        { QStringLiteral("no-warmup-stop"), QStringLiteral("demo: do not stop the fan while the unit is cold") },
        { QStringLiteral("output"), QStringLiteral("metrics: write to this file, atomically"), QStringLiteral("file") },
        { QStringLiteral("values"), QStringLiteral("check-profile: also print every key and the value used") },
    });
    if (!parser.parse(QCoreApplication::arguments())) {
        std::fprintf(stderr, "ostrelctl: %s\n%s", qPrintable(parser.errorText()), kUsage);
        return kExitFailure;
    }
    // --help-all comes with Qt's help option; ostrelctl has no framework options to add to it.
    if (parser.isSet(QStringLiteral("help")) || parser.isSet(QStringLiteral("help-all"))) {
        std::printf("%s\n%s", kUsage, qPrintable(parser.helpText()));
        return 0;
    }

    const QStringList arguments = parser.positionalArguments();
    const QString command = arguments.value(0);
    const QString socketPath = parser.value(QStringLiteral("socket"));
    if (command == QLatin1String("status") && arguments.size() == 1)
        return status(socketPath, parser.isSet(QStringLiteral("json")));
    if (command == QLatin1String("watch") && arguments.size() == 1)
        return watch(socketPath, parser.value(QStringLiteral("csv")));
    if (command == QLatin1String("check-profile") && arguments.size() == 2)
        return checkProfile(arguments.at(1), parser.isSet(QStringLiteral("values")));
    if (command == QLatin1String("metrics") && arguments.size() == 1)
        return metrics(socketPath, parser.value(QStringLiteral("profile")), parser.value(QStringLiteral("output")));
    if (command == QLatin1String("demo") && arguments.size() == 1 && parser.isSet(QStringLiteral("profile"))) {
        ostrel::SafetyProfile profile;
        QString error;
        if (!profile.load(parser.value(QStringLiteral("profile")), &error))
            return failure(error);
        DemoOptions options;
        options.socketPath = socketPath;
        options.csvPath = parser.value(QStringLiteral("csv"));
        bool numeric = false;
        options.seconds = parser.value(QStringLiteral("seconds")).toInt(&numeric);
        if (!numeric || options.seconds < 5 || options.seconds > 3600)
            return failure(QStringLiteral("--seconds must be a whole number from 5 to 3600"));
        options.warmupStop = !parser.isSet(QStringLiteral("no-warmup-stop"));
        return runDemo(profile, options);
    }
    std::fputs(kUsage, stderr);
    return kExitFailure;
}
