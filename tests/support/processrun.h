#pragma once

#include <QByteArray>
#include <QMap>
#include <QProcess>
#include <QProcessEnvironment>
#include <QString>
#include <QStringList>

// The outcome of one run of a program started by a test.
struct ProcessResult {
    bool finished = false; // false: it outlived the timeout and was killed
    int exitCode = -1;
    QProcess::ExitStatus exitStatus = QProcess::CrashExit;
    QByteArray standardOutput;
    QByteArray standardError;

    // Standard error split into lines, without the final empty one.
    QStringList errorLines() const;
};

// The test's environment without the variables that would reshape log lines
// or pretend a service manager, then the given changes (a null value removes).
QProcessEnvironment testEnvironment(const QMap<QString, QString>& changes = {});

// Runs program to its end, or kills it after timeoutMs.
ProcessResult runProcess(const QString& program, const QStringList& arguments, int timeoutMs = 15000,
    const QProcessEnvironment& environment = testEnvironment());

// A daemon started in the background for the length of a test. The
// destructor kills it, by its own pid, if it still runs.
class BackgroundProcess {
public:
    BackgroundProcess(const QString& program, const QStringList& arguments,
        const QProcessEnvironment& environment = testEnvironment());
    ~BackgroundProcess();
    BackgroundProcess(const BackgroundProcess&) = delete;
    BackgroundProcess& operator=(const BackgroundProcess&) = delete;

    bool isRunning() const;
    qint64 processId() const { return process.processId(); }
    // Waits until a local socket at path accepts a connection.
    bool waitForListening(const QString& socketPath, int timeoutMs = 5000);
    // Waits until standard error holds text, up to timeoutMs.
    bool waitForErrorOutput(const QString& text, int timeoutMs = 5000);
    // Waits for the process to end by itself, up to timeoutMs.
    ProcessResult waitForExit(int timeoutMs);
    // Kills the process and returns what it printed.
    ProcessResult kill();

private:
    ProcessResult collect(bool finished);

    QProcess process;
    QByteArray errorSoFar; // standard error read while waiting for output
};

// Paths of the built daemon, compiled into the tests by the build.
QString ostrelProgram();
QString ostrelWithoutRealBackendProgram();
QString exampleProfilePath();
QString kevoSimProgram();
QString ostrelctlProgram();
