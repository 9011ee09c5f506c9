#pragma once

#include <QtGlobal>

// The guard's timing and confirmation rules as pure functions of plain
// numbers, so that each boundary can be tested on its own. Times are
// guardClock milliseconds; -1 means "none".

// The supervision tick, and how often it has the fan read when nothing else does.
constexpr int kSupervisionTickMs = 250;
constexpr qint64 kRefreshIntervalMs = 1000;
// A connection that holds no lease must complete a frame within this, or it is closed: one that
// sends nothing, or a byte at a time, would otherwise hold the one client's place.
constexpr qint64 kUnleasedFrameTimeoutMs = 5000;

// A reading confirms the request when it was taken under the requested
// setpoint and lies within the tolerance of it.
inline bool readingConfirms(int rpm, int confirmedSetpoint, int requestedRpm, int toleranceRpm)
{
    return confirmedSetpoint == requestedRpm && qAbs(qint64(rpm) - qint64(requestedRpm)) <= toleranceRpm;
}

// A pending confirmation is late once strictly more than settlingMs have passed.
inline bool confirmationOverdue(qint64 now, qint64 pendingSince, int settlingMs)
{
    return pendingSince != -1 && now - pendingSince > settlingMs;
}

// Feedback exactly maxAgeMs old still counts as fresh.
inline bool feedbackFresh(qint64 now, qint64 lastFeedbackAt, int maxAgeMs)
{
    return lastFeedbackAt != -1 && now - lastFeedbackAt <= maxAgeMs;
}

// A lease or sample deadline is reached at the deadline itself.
inline bool deadlineReached(qint64 now, qint64 deadline) { return now >= deadline; }

// A warm-up stop ends once it has lasted maxOffMs.
inline bool stopTooLong(qint64 now, qint64 offSince, int maxOffMs)
{
    return offSince != -1 && now - offSince >= maxOffMs;
}
