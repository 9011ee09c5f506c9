// The command-line client's connection to the guard.
#include "guardconnection.h"

#include "protocol/socketpaths.h"

#include <QDeadlineTimer>
#include <QFileInfo>
#include <QThread>

QString statusReadPath(const QString& controlSocketPath)
{
    const QString statusPath = statusSocketPathFor(QFileInfo(controlSocketPath).absoluteFilePath());
    return QFileInfo::exists(statusPath) ? statusPath : controlSocketPath;
}

QString GuardConnection::connectError(const QString& socketPath) const
{
    switch (socket.error()) {
    case QLocalSocket::ServerNotFoundError:
        return QStringLiteral("no guard listens at %1").arg(socketPath);
    case QLocalSocket::ConnectionRefusedError:
        return QStringLiteral("the guard at %1 refused the connection").arg(socketPath);
    case QLocalSocket::SocketAccessError:
        return QStringLiteral("no permission to use %1").arg(socketPath);
    default:
        return QStringLiteral("cannot connect to the guard at %1: %2").arg(socketPath, socket.errorString());
    }
}

bool GuardConnection::open(const QString& socketPath, int timeoutMs, QString* error)
{
    const QDeadlineTimer deadline(timeoutMs);
    bool turnedAway = false; // a last attempt cut short by the deadline must not hide it
    for (;;) {
        socket.abort();
        frames.clear();
        // Relative to the working directory, as the guard takes its own --socket.
        socket.connectToServer(QFileInfo(socketPath).absoluteFilePath());
        if (!socket.waitForConnected(int(qMin<qint64>(deadline.remainingTime(), 1000)))) {
            *error = connectError(socketPath);
            return false;
        }
        // An accepted client gets a status at once; one turned away (the guard
        // serves one client at a time) is just closed, and tries again.
        const Read read = nextStatus(int(qMin<qint64>(deadline.remainingTime(), 2000)), &welcome);
        if (read == Read::Status) {
            hasWelcome = true; // handed out again by the caller's first nextStatus()
            return true;
        }
        if (!broken.isEmpty()) {
            *error = QStringLiteral("what answers at %1 is not a guard: %2").arg(socketPath, broken);
            return false;
        }
        turnedAway = turnedAway || read == Read::Closed;
        if (deadline.hasExpired()) {
            *error = turnedAway ? QStringLiteral("the guard at %1 is serving another client").arg(socketPath)
                                : QStringLiteral("the guard at %1 sent no status").arg(socketPath);
            return false;
        }
        QThread::msleep(100);
    }
}

GuardConnection::Read GuardConnection::nextStatus(int timeoutMs, QJsonObject* status)
{
    const QDeadlineTimer deadline(qMax(timeoutMs, 0));
    if (hasWelcome) {
        hasWelcome = false;
        *status = welcome;
        return Read::Status;
    }
    for (;;) {
        QString error;
        while (frames.next(status, &error)) {
            if (status->value(QLatin1String("type")) == QLatin1String("status"))
                return Read::Status;
        }
        if (!error.isEmpty()) {
            broken = error;
            socket.abort();
            return Read::Closed;
        }
        if (socket.state() != QLocalSocket::ConnectedState && socket.bytesAvailable() == 0)
            return Read::Closed;
        if (deadline.hasExpired())
            return Read::Timeout;
        // No more than a frame can use: the reader says "too large" before the buffer grows further.
        if (socket.waitForReadyRead(int(deadline.remainingTime())) || socket.bytesAvailable() > 0)
            frames.append(socket.read(kFrameLimitBytes + 1));
    }
}

void GuardConnection::close()
{
    socket.disconnectFromServer();
    if (socket.state() != QLocalSocket::UnconnectedState)
        socket.waitForDisconnected(1000);
}
