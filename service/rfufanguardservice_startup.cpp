// Start-up: the stop-time budget, runtime directories, writer lock, systemd notification and the first safe command.
#include "service/rfufanguardservice.h"

#include "profile/failwith.h"
#include "profile/profilevalidation.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QUuid>
#include <QtGlobal>
#include <sys/stat.h>

namespace {

const char kRealWriterLockPath[] = "/run/tessovara-rfu/fan-writer.lock";

// Creates the directory that holds path, with its missing parents; relative
// paths are taken from the working directory.
bool makeDirectoryFor(const QString& path) { return QDir().mkpath(QFileInfo(path).absolutePath()); }

// What is at the socket path: nothing, a socket file (what a guard that died leaves behind),
// or anything else, which someone put there and which must stay.
enum class AtPath { Nothing, Socket, Other };
AtPath whatIsAt(const QString& path)
{
    struct stat status;
    if (lstat(QFile::encodeName(path).constData(), &status) != 0)
        return AtPath::Nothing;
    return S_ISSOCK(status.st_mode) ? AtPath::Socket : AtPath::Other;
}

} // namespace

bool RfuFanGuardService::start(const QString& path, bool once, QString* error)
{
    // Relative to the working directory, as a path on a command line reads; the socket
    // framework would take it relative to its temporary folder.
    socketPath = QFileInfo(path).absoluteFilePath();
    safeOnce = once;

    if (!checkRecoveryBudget(profile, error))
        return false;
    if (!makeDirectoryFor(socketPath))
        return failWith(error, QStringLiteral("Cannot create guard runtime directory"));

    // In simulation the lock lives beside the socket, so simulated guards on
    // different sockets can run side by side; real guards share one fixed lock.
    const QString lockPath
        = simulation ? socketPath + QStringLiteral(".lock") : QString::fromLatin1(kRealWriterLockPath);
    if (!makeDirectoryFor(lockPath))
        return failWith(error, QStringLiteral("Cannot create shared fan writer lock directory"));
    writerLock = std::make_unique<QLockFile>(lockPath);
    // Never taken over because of its age; only a lock whose owner is gone is stale.
    writerLock->setStaleLockTime(0);
    if (!writerLock->tryLock(0))
        return failWith(error, QStringLiteral("Another fan writer owns the guard lock"));

    if (!safeOnce) {
        if (!simulation) {
            if (qEnvironmentVariableIsEmpty("NOTIFY_SOCKET") || qEnvironmentVariableIsEmpty("WATCHDOG_USEC"))
                return failWith(error, QStringLiteral("Real guard requires a supervised systemd watchdog service"));
            // Resolved at run time so that nothing links against systemd.
            systemdLibrary.setFileName(QStringLiteral("libsystemd.so.0"));
            sdNotify = reinterpret_cast<SdNotifyFunction>(systemdLibrary.resolve("sd_notify"));
            if (!sdNotify)
                return failWith(error, QStringLiteral("Cannot load systemd watchdog notification support"));
        }
        // Only after the writer lock: a second guard never removes a running guard's socket.
        // Listening puts the socket in place by renaming it over whatever is at the path.
        const AtPath atPath = whatIsAt(socketPath);
        if (atPath == AtPath::Other)
            return failWith(error, QStringLiteral("QLocalServer::listen: Address in use"));
        if (atPath == AtPath::Socket)
            QLocalServer::removeServer(socketPath);
        server.setSocketOptions(QLocalServer::UserAccessOption);
        if (!server.listen(socketPath))
            return failWith(error, server.errorString());
    }

    beginGuarding();
    if (sdNotify && sdNotify(0, "READY=1") <= 0)
        return failWith(error, QStringLiteral("Systemd readiness notification failed"));

    if (safeOnce) // precise: a coarse timer may fire 5% early, or late past the stop-time budget
        QTimer::singleShot(int(recoveryDeadlineMs(profile)), Qt::PreciseTimer, this, [this] { onRecoveryDeadline(); });
    return true;
}

void RfuFanGuardService::beginGuarding()
{
    guardSession = QUuid::createUuid().toString(QUuid::WithoutBraces);
    guardClock.start();
    supervisionTimer.start(kSupervisionTickMs);
    // The first command of every run is the safe speed.
    requestRpm(profile.MaximumRpm);
}
