// Control requests: the message decoded, the rules applied, and acceptance.
#include "service/rfufanguardservice.h"

#include "guard/controlrules.h"
#include "protocol/controlparsing.h"

void RfuFanGuardService::handleControl(const QJsonObject& message)
{
    ControlRequest request;
    const bool wellFormed = decodeControlRequest(message, &request);

    ControlState state { commandSequence, commandProgress, leaseDeadline, sampleSession, sampleSequence,
        sampleTemperatureC, sampleDeadline, sampleDeadlineArmed, freshSampleCount, lastFeedbackAt, lastRpm,
        requestedRpm, spinUpPending, spinUpReadyAt, warmupStopUsed, offSince };
    const QString refusal = checkControlRequest(request, wellFormed, profile, guardClock.elapsed(), &state);
    // What the rules record, also on the way to a refusal (the sample's deadline, a spin-up's end).
    commandSequence = state.commandSequence;
    commandProgress = state.commandProgress;
    leaseDeadline = state.leaseDeadline;
    sampleSession = state.sampleSession;
    sampleSequence = state.sampleSequence;
    sampleTemperatureC = state.sampleTemperatureC;
    sampleDeadline = state.sampleDeadline;
    sampleDeadlineArmed = state.sampleDeadlineArmed;
    freshSampleCount = state.freshSampleCount;
    spinUpPending = state.spinUpPending;
    if (!refusal.isEmpty()) {
        refuseClient(refusal);
        return;
    }
    // The client's speed is taken as it is or refused; never adjusted.
    requestRpm(int(request.rpm));
    sendStatus();
}
