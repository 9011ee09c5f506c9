// Messages from the client: the envelope, "hello" with the control lease, "release", and control
// requests with their temperature samples, checked by the rules on the guard's own state.
#include "service/rfufanguardservice.h"

#include "guard/controlparsing.h"
#include "guard/controlrules.h"

#include <QUuid>

void RfuFanGuardService::handleMessage(const QJsonObject& message)
{
    const QString type = message.value(QLatin1String("type")).toString();
    const QString refusal = checkEnvelope(message, type, control.leaseToken, guardSession);
    if (!refusal.isEmpty()) {
        refuseClient(refusal);
        return;
    }

    if (type == QLatin1String("hello")) {
        // A refused hello is no violation: the client may ask again once the status reports "ready".
        if (control.ready() && control.confirmationSince == -1 && control.leaseToken.isEmpty()
            && message.value(QLatin1String("serial")).toString() == profile.DeviceSerial)
            beginLease(&control, QUuid::createUuid().toString(QUuid::WithoutBraces), guardClock.elapsed(), profile);
        sendStatus();
        return;
    }

    if (type == QLatin1String("release")) {
        requestSafety(QStringLiteral("Control released"), false);
        return;
    }
    handleControl(message, type);
}

void RfuFanGuardService::handleControl(const QJsonObject& message, const QString& type)
{
    ControlRequest request;
    const bool wellFormed = decodeControlRequest(message, type, &request);
    // The rules record into the state itself, also on the way to a refusal (the sample's
    // deadline, a spin-up's end).
    const QString refusal = checkControlRequest(request, wellFormed, profile, guardClock.elapsed(), &control);
    if (!refusal.isEmpty()) {
        refuseClient(refusal);
        return;
    }
    // The client's speed is taken as it is or refused; never adjusted.
    requestRpm(int(request.rpm));
    sendStatus();
}
