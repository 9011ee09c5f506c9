// The fan backend: target bookkeeping, the choice between set and read, and the simulated fan.
#include "backend/kevofanbackend.h"

namespace {

// A command still running this long after its own time limit shows as overdue.
constexpr qint64 kOverdueGraceMs = 1000;

} // namespace

KevoFanBackend::KevoFanBackend(const DeviceProfile& profile, bool simulate, QObject* parent)
    : QObject(parent)
    , profile(profile)
    , simulate(simulate)
{
    // An empty input: a program that reads it must not wait for the guard.
    process.setStandardInputFile(QProcess::nullDevice());
    commandTimer.setSingleShot(true);
    // A coarse timer may fire 5% early: a command inside its limit would be killed.
    commandTimer.setTimerType(Qt::PreciseTimer);
    connect(&commandTimer, &QTimer::timeout, this, &KevoFanBackend::onCommandTimeout);
    connect(&process, QOverload<int, QProcess::ExitStatus>::of(&QProcess::finished), this,
        &KevoFanBackend::onCommandFinished);
    connect(&process, &QProcess::errorOccurred, this, &KevoFanBackend::onProcessError);
    connect(&process, &QProcess::readyReadStandardOutput, this, &KevoFanBackend::onStdoutReady);
    connect(&process, &QProcess::readyReadStandardError, this, &KevoFanBackend::onStderrReady);
}

KevoFanBackend::~KevoFanBackend()
{
    // A command that still runs ends with the backend. Its end must not reach
    // the handlers of a half-destroyed backend, and it is killed here rather
    // than by the process object's destructor, which would log a warning.
    disconnect(&process, nullptr, this, nullptr);
    disconnect(&commandTimer, nullptr, this, nullptr);
    killCommandGroup();
    if (commandRunning()) {
        process.kill();
        process.waitForFinished();
    }
}

bool KevoFanBackend::commandRunning() const { return process.state() != QProcess::NotRunning; }

void KevoFanBackend::startCommand(bool set)
{
    if (targetRpm < 0 || failureLatched)
        return;
    commandIsSet = set;
    commandRpm = targetRpm;
    if (simulate) {
        appliedRpm = targetRpm;
        // Captured now: a later target must not change what this command reports.
        // A queued call keeps call order and dies with the backend.
        const int rpm = targetRpm;
        QMetaObject::invokeMethod(
            this, [this, rpm] { Q_EMIT reading(rpm, rpm); }, Qt::QueuedConnection);
        return;
    }
    startRealCommand();
}

void KevoFanBackend::setTargetRpm(int rpm)
{
    targetRpm = rpm;
    // A busy backend takes the newest target up when the running command ends.
    if (failureLatched || commandRunning())
        return;
    startCommand(targetRpm != appliedRpm);
}

void KevoFanBackend::refresh()
{
    if (failureLatched || targetRpm < 0 || commandRunning())
        return;
    startCommand(targetRpm != appliedRpm);
}

void KevoFanBackend::forceSafeRpm()
{
    targetRpm = profile.MaximumRpm;
    // Forget the applied setpoint so the safe speed is sent again even if it was the last one.
    appliedRpm = -1;
    if (!commandRunning()) {
        failureLatched = false;
        startCommand(true);
    } else {
        safeRetryPending = true;
    }
}

bool KevoFanBackend::isCommandOverdue() const
{
    return commandRunning() && commandClock.isValid()
        && commandClock.elapsed() > qint64(profile.CommandTimeoutMs) + kOverdueGraceMs;
}
