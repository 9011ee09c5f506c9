// The command-line client's connection to the guard.
#include "guardconnection.h"

#include <QDeadlineTimer>
#include <QFileInfo>
#include <QJsonDocument>
#include <QThread>

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
        buffer.clear();
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
        turnedAway = turnedAway || read == Read::Closed;
        if (deadline.hasExpired()) {
            *error = turnedAway ? QStringLiteral("the guard at %1 is serving another client").arg(socketPath)
                                : QStringLiteral("the guard at %1 sent no status").arg(socketPath);
            return false;
        }
        QThread::msleep(100);
    }
}

bool GuardConnection::takeFrame(QJsonObject* status)
{
    for (int lineFeed = buffer.indexOf('\n'); lineFeed >= 0; lineFeed = buffer.indexOf('\n')) {
        const QJsonDocument document = QJsonDocument::fromJson(buffer.left(lineFeed));
        buffer.remove(0, lineFeed + 1);
        if (document.isObject() && document.object().value(QLatin1String("type")) == QLatin1String("status")) {
            *status = document.object();
            return true;
        }
    }
    return false;
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
        if (takeFrame(status))
            return Read::Status;
        if (socket.state() != QLocalSocket::ConnectedState && socket.bytesAvailable() == 0)
            return Read::Closed;
        if (deadline.hasExpired())
            return Read::Timeout;
        if (socket.waitForReadyRead(int(deadline.remainingTime())) || socket.bytesAvailable() > 0)
            buffer += socket.readAll();
    }
}

void GuardConnection::send(const QJsonObject& message)
{
    socket.write(QJsonDocument(message).toJson(QJsonDocument::Compact) + '\n');
    socket.waitForBytesWritten(1000);
}

void GuardConnection::close()
{
    socket.disconnectFromServer();
    if (socket.state() != QLocalSocket::UnconnectedState)
        socket.waitForDisconnected(1000);
}
