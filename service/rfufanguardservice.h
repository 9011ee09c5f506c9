#pragma once

#include "backend/kevofanbackend.h"
#include "guard/controlstate.h"
#include "profile/deviceprofile.h"
#include "protocol/framereader.h"

#include <QByteArray>
#include <QElapsedTimer>
#include <QJsonObject>
#include <QLibrary>
#include <QList>
#include <QLocalServer>
#include <QLockFile>
#include <QObject>
#include <QString>
#include <QTimer>
#include <memory>

class QLocalSocket;

// The one object of the running guard. It owns the profile copy, the fan
// backend, the control socket, the writer lock, the systemd handle, the guard
// clock, the supervision tick and all guard and protocol state. Everything
// runs on the event-loop thread, so no member needs a lock.
//
// The class is split over the folders of its subsystems; each group below
// names the file that implements it.
class RfuFanGuardService : public QObject {
    Q_OBJECT

public:
    // Construction, wiring and teardown: service/rfufanguardservice.cpp
    RfuFanGuardService(const DeviceProfile& profile, bool simulate, QObject* parent = nullptr);
    ~RfuFanGuardService() override;

    // Start-up checks, writer lock and service notification: service/rfufanguardservice_startup.cpp
    bool start(const QString& socketPath, bool safeOnce, QString* error);

private:
    // Tests read and arrange guard state through this one friend.
    friend struct RfuFanGuardServiceProbe;

    using SdNotifyFunction = int (*)(int, const char*);

    // The session, the clock, the tick and the first command; readiness: service/rfufanguardservice_startup.cpp
    void beginGuarding();
    void notifyReady();

    // Socket server and frame layer: protocol/rfufanguardservice_socket.cpp
    void onNewConnection();
    void acceptClient(QLocalSocket* socket);
    void onReadyRead();
    void onClientDisconnected(QLocalSocket* socket);
    void refuseClient(const QString& reason);
    void closeUnleased(const QString& reason);

    // Status socket, for any number of readers: protocol/rfufanguardservice_statussocket.cpp
    void onNewStatusReader();
    void publishStatus(const QByteArray& frame);

    // Session messages, the control lease and control requests: guard/rfufanguardservice_control.cpp
    void handleMessage(const QJsonObject& message);
    void handleControl(const QJsonObject& message, const QString& type);

    // Command and confirmation cycle: guard/rfufanguardservice_cycle.cpp
    void requestRpm(int rpm);
    void onFanReading(int rpm, int confirmedSetpoint);

    // Deadline supervision and safety recovery: guard/rfufanguardservice_supervision.cpp
    void requestSafety(const QString& reason, bool recordFault);
    void onSupervisionTick();
    void superviseAt(qint64 t);
    void onFanFailed(const QString& reason);
    void exhaustRecovery(qint64 now, const char* line);
    void publishServiceStatus();
    void onRecoveryDeadline();

    // Status report: guard/rfufanguardservice_status.cpp
    void sendStatus();
    QByteArray statusFrame() const;

    DeviceProfile profile;
    KevoFanBackend backend;
    QLocalServer server;
    QLocalSocket* client = nullptr;
    QLocalServer statusServer;
    QList<QLocalSocket*> statusReaders;
    std::unique_ptr<QLockFile> writerLock;
    QLibrary systemdLibrary;
    SdNotifyFunction sdNotify = nullptr;
    QElapsedTimer guardClock;
    QTimer supervisionTimer;
    FrameReader frames;
    QString socketPath;
    QString statusSocketPath;
    QString guardSession;

    // What the guard knows and has promised: changed by the rules (guard/controlrules.h) and the
    // handlers above.
    ControlState control;
    bool simulation;
    bool safeOnce = false;
    bool readyNotified = false; // READY=1 has gone to the service manager
    QString publishedStatus; // the STATUS= the service manager was last sent
};
