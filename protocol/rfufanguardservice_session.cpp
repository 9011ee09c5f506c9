// Session messages: the envelope checks, "hello" with the control lease, and "release".
#include "service/rfufanguardservice.h"

#include <QJsonValue>
#include <QUuid>

void RfuFanGuardService::handleMessage(const QJsonObject& message)
{
    const QJsonValue version = message.value(QLatin1String("version"));
    if (!version.isDouble() || version.toDouble() != 1.0) {
        refuseClient(QStringLiteral("Unsupported protocol"));
        return;
    }
    const QString type = message.value(QLatin1String("type")).toString();

    if (type == QLatin1String("hello")) {
        // A refused hello is no violation: the client may ask again once the status reports "ready".
        const bool ready = faultReason.isEmpty() && safeConfirmed && !awaitingSafeConfirmation;
        if (ready && confirmationSince == -1 && leaseToken.isEmpty()
            && message.value(QLatin1String("serial")).toString() == profile.DeviceSerial) {
            leaseToken = QUuid::createUuid().toString(QUuid::WithoutBraces);
            commandProgress = 0;
            commandSequence = 0;
            freshSampleCount = 0;
            sampleDeadlineArmed = false;
            leaseDeadline = guardClock.elapsed() + profile.LeaseMs;
        }
        sendStatus();
        return;
    }

    if (leaseToken.isEmpty() || message.value(QLatin1String("lease")).toString() != leaseToken
        || message.value(QLatin1String("session")).toString() != guardSession) {
        refuseClient(QStringLiteral("Invalid or expired control lease"));
        return;
    }
    if (type == QLatin1String("release")) {
        leaseToken.clear();
        requestSafety(QStringLiteral("Control released"), false);
        return;
    }
    handleControl(message);
}
