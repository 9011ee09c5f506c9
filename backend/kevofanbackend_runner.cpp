// Running the fan program: one command at a time, bounded in time and output, its end judged.
#include "backend/kevofanbackend.h"

#include "backend/rpmreply.h"

#include <csignal>
#include <unistd.h>

namespace {

constexpr qint64 kOutputLimitBytes = 8192;

} // namespace

// In the child, between fork and exec.
void FanCommandProcess::setupChildProcess() { setpgid(0, 0); }

void KevoFanBackend::startRealCommand()
{
    abortedByGuard = false;
    commandClock.start();
    process.setProgram(profile.BackendProgram);
    process.setArguments(commandIsSet ? QStringList { QStringLiteral("--set-fan-rpm"), QString::number(commandRpm, 10) }
                                      : QStringList { QStringLiteral("--fan-rpm") });
    process.start(QIODevice::ReadOnly);
    // A start failure may already have been reported from inside start();
    // then there is nothing left to time.
    if (process.state() != QProcess::NotRunning) {
        commandGroup = process.processId();
        commandTimer.start(profile.CommandTimeoutMs);
    }
}

// Everything the command started dies with it. The group is the command's own pid, and stays
// reserved while anything of it runs; the command itself is killed directly too, in case it is
// killed before it has made its group.
void KevoFanBackend::killCommandGroup()
{
    if (commandGroup > 0)
        ::kill(-pid_t(commandGroup), SIGKILL);
}

// Every failure is reported once per latch: the latch is set before the
// signal goes out, so a receiver that calls back finds the backend latched.
void KevoFanBackend::reportFailure(const QString& reason)
{
    if (failureLatched)
        return;
    failureLatched = true;
    Q_EMIT failed(reason);
}

void KevoFanBackend::onStdoutReady()
{
    // Nothing is read here: the output stays buffered for the end, so the
    // count is the whole output so far.
    if (process.bytesAvailable() > kOutputLimitBytes) {
        abortedByGuard = true;
        killCommandGroup();
        process.kill();
        reportFailure(QStringLiteral("Fan output exceeds limit"));
    }
}

void KevoFanBackend::onStderrReady() { process.readAllStandardError(); }

void KevoFanBackend::onProcessError(QProcess::ProcessError error)
{
    // A crash is judged at the end; only a start failure ends a command here.
    if (error != QProcess::FailedToStart)
        return;
    commandTimer.stop();
    commandGroup = 0; // it never ran
    reportFailure(QStringLiteral("Fan command failed to start: ") + process.errorString());
}

void KevoFanBackend::onCommandTimeout()
{
    abortedByGuard = true;
    killCommandGroup();
    process.kill();
    reportFailure(QStringLiteral("Fan command timed out; output unconfirmed"));
}

void KevoFanBackend::onCommandFinished(int exitCode, QProcess::ExitStatus exitStatus)
{
    commandTimer.stop();
    // What the command left running in the background would act on the fan unasked.
    killCommandGroup();
    commandGroup = 0;
    if (safeRetryPending) {
        // The ended command was overtaken by the safe speed: its outcome no longer matters.
        safeRetryPending = false;
        failureLatched = false;
        startCommand(true);
        return;
    }
    if (abortedByGuard || failureLatched)
        return; // reported when the backend killed it
    if (exitStatus != QProcess::NormalExit || exitCode != 0) {
        reportFailure(QStringLiteral("Fan command exited unsuccessfully"));
        return;
    }
    const QByteArray output = process.readAllStandardOutput();
    if (output.size() > kOutputLimitBytes) {
        reportFailure(QStringLiteral("Fan output exceeds limit"));
        return;
    }
    if (commandIsSet) {
        appliedRpm = commandRpm;
        // Read the new setpoint back, or apply a target that changed meanwhile.
        startCommand(targetRpm != appliedRpm);
        return;
    }
    int rpm = 0;
    if (!parseRpmReply(output, profile.RpmReadPattern, profile.MaximumRpm, profile.RpmTolerance, &rpm)) {
        reportFailure(QStringLiteral("Fan RPM response is invalid"));
        return;
    }
    Q_EMIT reading(rpm, commandRpm);
    // A receiver may already have begun the next command.
    if (!failureLatched && targetRpm >= 0 && targetRpm != appliedRpm && !commandRunning())
        startCommand(true);
}
