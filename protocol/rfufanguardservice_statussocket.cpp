// The status socket: every status the guard sends, to any number of readers, which send nothing.
#include "service/rfufanguardservice.h"

#include "protocol/framereader.h"

#include <QLocalSocket>

namespace {

// Enough for every monitor of a unit; more would be someone trying to use the guard's memory.
constexpr int kMaximumStatusReaders = 32;

} // namespace

void RfuFanGuardService::onNewStatusReader()
{
    while (statusServer.hasPendingConnections()) {
        QLocalSocket* reader = statusServer.nextPendingConnection();
        if (statusReaders.size() >= kMaximumStatusReaders) {
            reader->abort();
            reader->deleteLater();
            continue;
        }
        statusReaders.append(reader);
        // It reads nothing: a reader that sends is closed, and only the first byte is ever read.
        reader->setReadBufferSize(1);
        // Not logged: anyone on the machine may connect, and must not be able to fill the journal.
        connect(reader, &QLocalSocket::readyRead, reader, &QLocalSocket::abort);
        connect(reader, &QLocalSocket::disconnected, this, [this, reader] {
            statusReaders.removeOne(reader);
            reader->deleteLater();
        });
        // Its own: the client and the other readers are not sent one more.
        reader->write(statusFrame());
    }
}

// Written, never waited for: a reader that falls behind is dropped, and so can delay nothing.
void RfuFanGuardService::publishStatus(const QByteArray& frame)
{
    // A copy: an abort runs the disconnect handler, which changes the list.
    const QList<QLocalSocket*> readers = statusReaders;
    for (QLocalSocket* reader : readers) {
        if (reader->bytesToWrite() > kFrameLimitBytes)
            reader->abort();
        else if (reader->state() == QLocalSocket::ConnectedState)
            reader->write(frame);
    }
}
