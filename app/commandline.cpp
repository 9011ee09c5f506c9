// The command line: options, run-mode decision and profile load ahead of the run phase.
#include "app/commandline.h"

#include "app/runphase.h"
#include "profile/deviceprofile.h"
#include "profile/profileschema.h"
#include "profile/trustedfiles.h"

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

int runFromCommandLine(const QCommandLineParser& parser, bool realBackendAvailable)
{
    const bool simulate = parser.isSet(QStringLiteral("simulate"));
    // Refused before the profile is read: this build could never honour real mode.
    if (!simulate && !realBackendAvailable) {
        qCritical("Real RFU fan backend is unsupported on this platform");
        return kExitStartupFailure;
    }

    const QString path = parser.value(QStringLiteral("profile"));
    // Keys the settings reader passes over in silence; the profile is read as it is.
    for (const QString& finding : profileKeyFindings(path))
        qWarning("[RFU_GUARD] profile warning: %s", qUtf8Printable(finding));
    DeviceProfile profile;
    QString error;
    QString ignored;
    const bool loaded = parser.isSet(QStringLiteral("safe-once"))
        ? loadRecoveryProfileQuietly(path, &profile, &ignored, &error)
        : loadProfileQuietly(path, &profile, &error);
    // The fan program runs as root: only root may have chosen it.
    if (!loaded || (!simulate && !checkTrustedFiles(path, profile, &error))) {
        qCritical("%s", qUtf8Printable(error));
        return kExitStartupFailure;
    }
    if (!ignored.isEmpty())
        qWarning("[RFU_GUARD] recovery ignores what it does not use: %s", qUtf8Printable(ignored));
    return runGuard(profile, simulate, parser);
}
