// Start-up: the stop-time budget, runtime directories, writer lock, systemd notification and the first safe command.
#include "service/rfufanguardservice.h"

#include "guard/guardrules.h"
#include "profile/failwith.h"
#include "profile/profilevalidation.h"
#include "protocol/socketpaths.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QUuid>
#include <QtGlobal>
#include <cerrno>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

namespace {

const char kRealWriterLockPath[] = "/run/tessovara-rfu/fan-writer.lock";
constexpr int kExitStartupFailure = 2;

// Creates the directory that holds path, with its missing parents; relative
// paths are taken from the working directory.
bool makeDirectoryFor(const QString& path) { return QDir().mkpath(QFileInfo(path).absolutePath()); }

// What is at the socket path: nothing, a socket file that nobody answers on (what a guard that
// died leaves behind), a socket that someone answers on, or anything else, which someone put
// there. Only the dead socket may be replaced.
enum class AtPath { Nothing, DeadSocket, LiveSocket, Other };
AtPath whatIsAt(const QString& path)
{
    const QByteArray name = QFile::encodeName(path);
    struct stat status;
    if (lstat(name.constData(), &status) != 0)
        return AtPath::Nothing;
    if (!S_ISSOCK(status.st_mode))
        return AtPath::Other;
    sockaddr_un address {};
    address.sun_family = AF_UNIX;
    if (size_t(name.size()) >= sizeof address.sun_path)
        return AtPath::DeadSocket; // unreachable by name: listening there fails with its own reason
    qstrcpy(address.sun_path, name.constData());
    // Only a refused connection proves it dead: a full backlog, or a socket of another kind,
    // is someone's.
    const int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    const bool dead = fd >= 0 && ::connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0
        && errno == ECONNREFUSED;
    if (fd >= 0)
        close(fd);
    return dead ? AtPath::DeadSocket : AtPath::LiveSocket;
}

// Listens at path, taking it over only from a guard that died. Listening puts the socket in
// place by renaming it over whatever is at the path. A live socket may belong to a real guard
// that a simulated one shares no lock with: taking it over would hand the real guard's clients
// a simulated fan.
bool listenAt(QLocalServer* server, const QString& path, const char* what, QString* error)
{
    const AtPath atPath = whatIsAt(path);
    if (atPath == AtPath::LiveSocket)
        return failWith(
            error, QStringLiteral("Something already answers on the %1: %2").arg(QLatin1String(what), path));
    if (atPath == AtPath::Other)
        return failWith(error, QStringLiteral("QLocalServer::listen: Address in use"));
    if (atPath == AtPath::DeadSocket)
        QLocalServer::removeServer(path);
    if (!server->listen(path))
        return failWith(error, server->errorString());
    return true;
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
        server.setSocketOptions(QLocalServer::UserAccessOption);
        if (!listenAt(&server, socketPath, "control socket", error))
            return false;
        // A status holds nothing secret (a lease token works only on the connection that holds
        // the lease), and the socket reads nothing: anyone on the machine may watch the guard.
        statusSocketPath = statusSocketPathFor(socketPath);
        statusServer.setSocketOptions(QLocalServer::WorldAccessOption);
        if (!listenAt(&statusServer, statusSocketPath, "status socket", error))
            return false;
    }

    beginGuarding();

    if (safeOnce) // precise: a coarse timer may fire 5% early, or late past the stop-time budget
        QTimer::singleShot(int(recoveryDeadlineMs(profile)), Qt::PreciseTimer, this, [this] { onRecoveryDeadline(); });
    return true;
}

// Ready means the fan has confirmed the safe speed, not merely that the guard runs: a guard whose
// fan never confirms never becomes ready, so its start times out, the recovery runs and the
// start limit leaves a failed unit; and the unit promotes to the recovery only a profile that
// has driven the fan.
void RfuFanGuardService::notifyReady()
{
    if (!sdNotify || readyNotified)
        return;
    readyNotified = true;
    if (sdNotify(0, "READY=1") <= 0) {
        qCritical("Systemd readiness notification failed");
        QCoreApplication::exit(kExitStartupFailure);
        return;
    }
    publishServiceStatus();
}

void RfuFanGuardService::beginGuarding()
{
    guardSession = QUuid::createUuid().toString(QUuid::WithoutBraces);
    guardClock.start();
    supervisionTimer.start(kSupervisionTickMs);
    // The first command of every run is the safe speed.
    requestRpm(profile.MaximumRpm);
}
