// Session messages: the envelope checks, "hello" with the control lease, and "release".
#include "service/rfufanguardservice.h"

#include "guard/controlrules.h"

#include <QUuid>

void RfuFanGuardService::handleMessage(const QJsonObject& message)
{
    const QString refusal = checkEnvelope(message, leaseToken, guardSession);
    if (!refusal.isEmpty()) {
        refuseClient(refusal);
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

    if (type == QLatin1String("release")) {
        leaseToken.clear();
        requestSafety(QStringLiteral("Control released"), false);
        return;
    }
    handleControl(message);
}
