// The run phase of the daemon: the guard's whole life after the profile has loaded.
#include "app/runphase.h"

#include "profile/deviceprofile.h"

#include <QCommandLineParser>

int runGuard(const DeviceProfile& profile, bool simulate, const QCommandLineParser& parser)
{
    // The guard service does not exist yet: a profile that loads is all this
    // build checks, and it ends successfully there.
    Q_UNUSED(profile);
    Q_UNUSED(simulate);
    Q_UNUSED(parser);
    return 0;
}
