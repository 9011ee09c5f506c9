#pragma once

#include "profile/deviceprofile.h"

#include <QElapsedTimer>
#include <QObject>
#include <QProcess>
#include <QString>
#include <QTimer>

// A fan command's process, started in a process group of its own so that the whole
// group can be killed: a wrapper's child must not outlive its command.
class FanCommandProcess : public QProcess {
protected:
    void setupChildProcess() override;
};

// The only component that acts on the fan. It turns the target speed it is
// given into commands of the fan program, one at a time: a set when the target
// differs from the setpoint the program accepted last, a read otherwise. Every
// valid reading leaves through reading(), every failure through failed(); the
// service decides what they mean. In simulation no program runs and every
// command is answered with a reading of the target on the next event-loop pass.
class KevoFanBackend : public QObject {
    Q_OBJECT

public:
    KevoFanBackend(const DeviceProfile& profile, bool simulate, QObject* parent);
    ~KevoFanBackend() override;

    void setTargetRpm(int rpm);
    void refresh();
    void forceSafeRpm();
    bool isCommandOverdue() const;

Q_SIGNALS:
    void reading(int rpm, int confirmedSetpoint);
    void failed(const QString& reason);

private:
    // Command choice and simulation: backend/kevofanbackend.cpp
    void startCommand(bool set);
    bool commandRunning() const;

    // Running the fan program: backend/kevofanbackend_runner.cpp
    void startRealCommand();
    void onCommandTimeout();
    void onCommandFinished(int exitCode, QProcess::ExitStatus exitStatus);
    void onProcessError(QProcess::ProcessError error);
    void onStdoutReady();
    void onStderrReady();
    void reportFailure(const QString& reason);
    void killCommandGroup();

    DeviceProfile profile;
    FanCommandProcess process;
    QTimer commandTimer;
    QElapsedTimer commandClock;
    int targetRpm = -1;
    int appliedRpm = -1;
    int commandRpm = -1;
    qint64 commandGroup = 0; // the process group of the command begun last; 0 before the first
    bool simulate;
    bool commandIsSet = false;
    bool failureLatched = false;
    bool abortedByGuard = false;
    bool safeRetryPending = false;
};
