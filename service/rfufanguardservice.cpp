// The guard service's construction, wiring and teardown.
#include "service/rfufanguardservice.h"

#include <QLocalSocket>

RfuFanGuardService::RfuFanGuardService(const DeviceProfile& profile, bool simulate, QObject* parent)
    : QObject(parent)
    , profile(profile)
    , backend(profile, simulate, this)
    , simulation(simulate)
{
    connect(&server, &QLocalServer::newConnection, this, &RfuFanGuardService::onNewConnection);
    connect(&statusServer, &QLocalServer::newConnection, this, &RfuFanGuardService::onNewStatusReader);
    connect(&supervisionTimer, &QTimer::timeout, this, &RfuFanGuardService::onSupervisionTick);
    connect(&backend, &KevoFanBackend::reading, this,
        [this](int rpm, int confirmedSetpoint) { onFanReading(rpm, confirmedSetpoint); });
    connect(&backend, &KevoFanBackend::failed, this, [this](const QString& reason) { onFanFailed(reason); });
}

RfuFanGuardService::~RfuFanGuardService()
{
    // A fan command may still be running and is killed when the backend goes;
    // its end must not reach a half-destroyed service.
    disconnect(&backend, nullptr, this, nullptr);
    supervisionTimer.stop();
    if (client) {
        // No handler of the service may run during teardown, in particular no
        // safety request for the lease the client loses here.
        disconnect(client, nullptr, this, nullptr);
        client->abort();
    }
    server.close();
    for (QLocalSocket* reader : qAsConst(statusReaders))
        disconnect(reader, nullptr, this, nullptr);
    statusServer.close();
}
