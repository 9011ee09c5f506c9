// The command line: options, run-mode decision and profile load ahead of the run phase.
#include "app/commandline.h"

#include "app/runphase.h"
#include "profile/deviceprofile.h"

#include <QCommandLineOption>
#include <QCommandLineParser>
#include <QtGlobal>

namespace {

constexpr int kExitStartupFailure = 2;

} // namespace

void addGuardOptions(QCommandLineParser* parser)
{
    parser->addHelpOption();
    parser->addOption(QCommandLineOption(QStringLiteral("profile"), QStringLiteral("Validated device safety profile"),
        QStringLiteral("path"), QStringLiteral("/etc/tessovara/rfu-device-profile.ini")));
    parser->addOption(QCommandLineOption(QStringLiteral("socket"), QStringLiteral("Local control socket"),
        QStringLiteral("path"), QStringLiteral("/run/tessovara-rfu/fan.sock")));
    parser->addOption(
        QCommandLineOption(QStringLiteral("simulate"), QStringLiteral("Explicit simulation; never starts kevo")));
    parser->addOption(QCommandLineOption(
        QStringLiteral("safe-once"), QStringLiteral("Confirm safe RPM and exit; for service recovery")));
}

bool loadProfileQuietly(const QString& path, DeviceProfile* profile, QString* error)
{
    const QtMessageHandler defaultHandler
        = qInstallMessageHandler([](QtMsgType, const QMessageLogContext&, const QString&) {});
    const bool loaded = loadDeviceProfile(path, profile, error);
    qInstallMessageHandler(defaultHandler);
    return loaded;
}

int runFromCommandLine(const QCommandLineParser& parser, bool realBackendAvailable)
{
    const bool simulate = parser.isSet(QStringLiteral("simulate"));
    // Refused before the profile is read: this build could never honour real mode.
    if (!simulate && !realBackendAvailable) {
        qCritical("Real RFU fan backend is unsupported on this platform");
        return kExitStartupFailure;
    }

    DeviceProfile profile;
    QString error;
    if (!loadProfileQuietly(parser.value(QStringLiteral("profile")), &profile, &error)) {
        qCritical("%s", qUtf8Printable(error));
        return kExitStartupFailure;
    }
    return runGuard(profile, simulate, parser);
}
