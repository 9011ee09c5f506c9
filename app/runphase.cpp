// The run phase of the daemon: the guard's whole life after the profile has loaded.
#include "app/runphase.h"

#include "profile/deviceprofile.h"
#include "service/rfufanguardservice.h"

#include <QCommandLineParser>
#include <QCoreApplication>

namespace {

constexpr int kExitStartupFailure = 2;

} // namespace

int runGuard(const DeviceProfile& profile, bool simulate, const QCommandLineParser& parser)
{
    RfuFanGuardService service(profile, simulate);
    const bool safeOnce = parser.isSet(QStringLiteral("safe-once"));
    QString error;
    if (!service.start(parser.value(QStringLiteral("socket")), safeOnce, &error)) {
        qCritical("%s", qUtf8Printable(error));
        return kExitStartupFailure;
    }
    // In service mode nothing inside the guard ends the loop; the service
    // manager stops the process. One-shot recovery ends it with 0 or 2.
    return QCoreApplication::exec();
}
