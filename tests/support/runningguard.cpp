// An in-process guard for protocol tests.
#include "runningguard.h"

#include "profilefixtures.h"

#include <QtTest>
#include <limits>

namespace {

DeviceProfile protocolProfile()
{
    DeviceProfile profile = passingDeviceProfile();
    profile.CommandTimeoutMs = 100;
    profile.SpinUpMs = 100;
    profile.SettlingMs = 300;
    profile.LeaseMs = 10000;
    profile.MaximumFeedbackAgeMs = 10000;
    profile.MaximumSampleAgeMs = 10000;
    profile.MaximumOffMs = 10000;
    profile.LeadSeconds = 1;
    return profile;
}

} // namespace

RunningGuard::RunningGuard()
    : service(protocolProfile(), true)
{
}

bool RunningGuard::start()
{
    QString error;
    if (!service.start(socketPath(), false, &error)) {
        qWarning("The guard did not start: %s", qPrintable(error));
        return false;
    }
    probe.nextRefreshAt() = std::numeric_limits<qint64>::max();
    return QTest::qWaitFor([this] { return probe.safeConfirmed(); }, 3000);
}

bool ServedClient::open(bool lease)
{
    return guard.start() && client.join(guard.socketPath()) && client.waitForReady() && (!lease || client.hello());
}
