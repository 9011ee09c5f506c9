// Running the built programs from tests, with a bound on every wait.
#include "processrun.h"

#include <QDeadlineTimer>
#include <QFile>
#include <QThread>
#include <sys/stat.h>

QStringList ProcessResult::errorLines() const
{
    QStringList lines = QString::fromUtf8(standardError).split(QLatin1Char('\n'));
    if (!lines.isEmpty() && lines.last().isEmpty())
        lines.removeLast();
    return lines;
}

QProcessEnvironment testEnvironment(const QMap<QString, QString>& changes)
{
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    for (const char* name : { "QT_MESSAGE_PATTERN", "QT_LOGGING_RULES", "NOTIFY_SOCKET", "WATCHDOG_USEC" })
        environment.remove(QString::fromLatin1(name));
    for (auto change = changes.cbegin(); change != changes.cend(); ++change) {
        if (change.value().isNull())
            environment.remove(change.key());
        else
            environment.insert(change.key(), change.value());
    }
    return environment;
}

ProcessResult runProcess(
    const QString& program, const QStringList& arguments, int timeoutMs, const QProcessEnvironment& environment)
{
    BackgroundProcess process(program, arguments, environment);
    return process.waitForExit(timeoutMs);
}

BackgroundProcess::BackgroundProcess(
    const QString& program, const QStringList& arguments, const QProcessEnvironment& environment)
{
    process.setProcessEnvironment(environment);
    process.setReadChannel(QProcess::StandardError);
    process.start(program, arguments);
    process.waitForStarted(5000);
}

BackgroundProcess::~BackgroundProcess()
{
    if (process.state() != QProcess::NotRunning)
        kill();
}

bool BackgroundProcess::isRunning() const { return process.state() == QProcess::Running; }

// Looks for the socket file rather than connecting: a connection would take
// the guard's one client slot until the guard notices it is gone.
bool BackgroundProcess::waitForListening(const QString& socketPath, int timeoutMs)
{
    const QByteArray path = QFile::encodeName(socketPath);
    const QDeadlineTimer deadline(timeoutMs);
    while (!deadline.hasExpired() && isRunning()) {
        struct stat info { };
        if (::stat(path.constData(), &info) == 0 && S_ISSOCK(info.st_mode))
            return true;
        QThread::msleep(10);
    }
    return false;
}

bool BackgroundProcess::waitForErrorOutput(const QString& text, int timeoutMs)
{
    const QByteArray wanted = text.toUtf8();
    const QDeadlineTimer deadline(timeoutMs);
    for (;;) {
        errorSoFar += process.readAllStandardError();
        if (errorSoFar.contains(wanted))
            return true;
        if (deadline.hasExpired() || !isRunning())
            return false;
        process.waitForReadyRead(int(qMin<qint64>(deadline.remainingTime(), 100)));
    }
}

ProcessResult BackgroundProcess::waitForExit(int timeoutMs)
{
    const bool finished = process.waitForFinished(timeoutMs);
    if (!finished) {
        process.kill();
        process.waitForFinished(5000);
    }
    return collect(finished);
}

ProcessResult BackgroundProcess::kill()
{
    process.kill();
    process.waitForFinished(5000);
    return collect(false);
}

ProcessResult BackgroundProcess::collect(bool finished)
{
    ProcessResult result;
    result.finished = finished;
    result.exitCode = process.exitCode();
    result.exitStatus = process.exitStatus();
    result.standardOutput = process.readAllStandardOutput();
    result.standardError = errorSoFar + process.readAllStandardError();
    return result;
}

QString ostrelProgram() { return QStringLiteral(OSTREL_PROGRAM); }

QString ostrelWithoutRealBackendProgram() { return QStringLiteral(OSTREL_WITHOUT_REAL_BACKEND_PROGRAM); }

QString kevoSimProgram() { return QStringLiteral(KEVO_SIM_PROGRAM); }

QString ostrelctlProgram() { return QStringLiteral(OSTRELCTL_PROGRAM); }

QString exampleProfilePath() { return QStringLiteral(OSTREL_EXAMPLE_PROFILE); }
