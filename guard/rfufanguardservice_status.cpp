// The status message: the guard's one outgoing message, written to the one client.
#include "service/rfufanguardservice.h"

#include "guard/guardrules.h"
#include "guard/statusframe.h"
#include "protocol/frames.h"

#include <QLocalSocket>

void RfuFanGuardService::sendStatus()
{
    if (!client || client->state() != QLocalSocket::ConnectedState)
        return;
    // A client that does not read its statuses is cut off rather than buffered for.
    if (client->bytesToWrite() > kFrameLimitBytes) {
        client->abort();
        return;
    }

    const qint64 now = guardClock.elapsed();
    StatusFields status;
    status.session = guardSession;
    status.lease = leaseToken;
    status.serial = profile.DeviceSerial;
    status.reason = faultReason;
    status.commandSequence = commandSequence;
    status.requestedRpm = requestedRpm;
    status.rpm = lastRpm;
    // One clock reading feeds both the age and its validity.
    status.ageMs = lastFeedbackAt == -1 ? -1 : now - lastFeedbackAt;
    status.ready = safeConfirmed && !awaitingSafeConfirmation && faultReason.isEmpty();
    status.rpmValid = feedbackFresh(now, lastFeedbackAt, profile.MaximumFeedbackAgeMs);
    status.fault = !faultReason.isEmpty();
    status.simulation = simulation;
    client->write(statusFrame(status));
}
