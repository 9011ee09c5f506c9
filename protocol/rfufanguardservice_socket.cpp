// The control socket: one client at a time, its bytes through the frame reader, refusals and disconnects.
#include "service/rfufanguardservice.h"

#include "guard/guardrules.h"
#include "protocol/framereader.h"

#include <QLocalSocket>

namespace {

// One byte more than a frame, so an over-long frame shows without a line feed.
constexpr qint64 kReadBufferBytes = kFrameLimitBytes + 1;

} // namespace

void RfuFanGuardService::onNewConnection()
{
    while (server.hasPendingConnections())
        acceptClient(server.nextPendingConnection());
}

void RfuFanGuardService::acceptClient(QLocalSocket* socket)
{
    if (client) {
        // One client at a time: the newcomer gets nothing, the served one is untouched.
        socket->abort();
        socket->deleteLater();
        return;
    }
    client = socket;
    frames.clear();
    control.frameDeadline = guardClock.elapsed() + kUnleasedFrameTimeoutMs;
    socket->setReadBufferSize(kReadBufferBytes);
    connect(socket, &QLocalSocket::readyRead, this, &RfuFanGuardService::onReadyRead);
    connect(socket, &QLocalSocket::disconnected, this, [this, socket] { onClientDisconnected(socket); });
    sendStatus();
}

// A message or a refusal can close the connection, and a close may run the
// disconnect handler at once: client is re-tested before every frame.
void RfuFanGuardService::onReadyRead()
{
    if (!client)
        return;
    // What has arrived, in one allocation of its size (readAll would grow a buffer in chunks).
    frames.append(client->read(client->bytesAvailable()));
    QJsonObject message;
    QString error;
    while (client && frames.next(&message, &error)) {
        control.frameDeadline = guardClock.elapsed() + kUnleasedFrameTimeoutMs;
        handleMessage(message);
    }
    // Also when the client has just gone: then only the safety request remains.
    if (error.isEmpty() && frames.pending() > kFrameLimitBytes)
        error = FrameReader::tooLarge();
    if (!error.isEmpty())
        refuseClient(error);
}

void RfuFanGuardService::onClientDisconnected(QLocalSocket* socket)
{
    disconnect(socket, nullptr, this, nullptr);
    if (socket == client) {
        client = nullptr;
        control.frameDeadline = -1;
        // Losing the lease holder is no fault: a later client may lease again.
        if (!control.leaseToken.isEmpty())
            requestSafety(QStringLiteral("Client disconnected"), false);
    }
    socket->deleteLater();
}

void RfuFanGuardService::refuseClient(const QString& reason)
{
    // Only a lease holder's broken rule latches a fault: a probe, or a client that has not yet
    // asked for the lease, must not be able to hold the fan at the safe speed for good.
    if (control.leaseToken.isEmpty()) {
        closeUnleased(reason);
        return;
    }
    requestSafety(reason, true);
    // Graceful: the close waits until the status just written has gone out.
    if (client)
        client->disconnectFromServer();
}

void RfuFanGuardService::closeUnleased(const QString& reason)
{
    if (!client)
        return;
    // Frames already read still meet refusals while the close is under way: one line is enough.
    if (client->state() == QLocalSocket::ConnectedState)
        qWarning("[RFU_GUARD] connection without a lease closed: %s", qUtf8Printable(reason));
    client->disconnectFromServer();
}
