// The status message: the guard's one outgoing message, written to the client and to the status socket's readers.
#include "service/rfufanguardservice.h"

#include "guard/guardrules.h"
#include "protocol/framereader.h"

#include <QJsonDocument>
#include <QJsonObject>
#include <QLocalSocket>

void RfuFanGuardService::sendStatus()
{
    bool toClient = client && client->state() == QLocalSocket::ConnectedState;
    // A client that does not read its statuses is cut off rather than buffered for.
    if (toClient && client->bytesToWrite() > kFrameLimitBytes) {
        client->abort();
        toClient = false;
    }
    if (!toClient && statusReaders.isEmpty())
        return;
    const QByteArray frame = statusFrame();
    if (toClient)
        client->write(frame);
    publishStatus(frame);
}

QByteArray RfuFanGuardService::statusFrame() const
{
    // One clock reading feeds both the age and its validity.
    const qint64 now = guardClock.elapsed();
    const QJsonObject status {
        { QStringLiteral("version"), 1 },
        { QStringLiteral("type"), QStringLiteral("status") },
        { QStringLiteral("session"), guardSession },
        { QStringLiteral("lease"), control.leaseToken },
        { QStringLiteral("serial"), profile.DeviceSerial },
        // Counters travel as decimal strings: a JSON number cannot hold every 64-bit value.
        { QStringLiteral("commandSequence"), QString::number(control.commandSequence) },
        { QStringLiteral("requestedRpm"), control.requestedRpm },
        { QStringLiteral("ready"), control.ready() },
        { QStringLiteral("rpmValid"), feedbackFresh(now, control.lastFeedbackAt, profile.MaximumFeedbackAgeMs) },
        { QStringLiteral("rpm"), control.lastRpm },
        { QStringLiteral("ageMs"), control.lastFeedbackAt == -1 ? -1 : now - control.lastFeedbackAt },
        { QStringLiteral("fault"), !control.faultReason.isEmpty() },
        { QStringLiteral("reason"), control.faultReason },
        { QStringLiteral("simulation"), simulation },
    };
    // The line feed appended in place: a concatenation would copy the whole frame once more.
    QByteArray frame = QJsonDocument(status).toJson(QJsonDocument::Compact);
    frame += '\n';
    return frame;
}
