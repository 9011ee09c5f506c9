// Running the built programs from tests, with a bound on every wait.
#include "processrun.h"

#include <QProcessEnvironment>

QStringList ProcessResult::errorLines() const
{
    QStringList lines = QString::fromUtf8(standardError).split(QLatin1Char('\n'));
    if (!lines.isEmpty() && lines.last().isEmpty())
        lines.removeLast();
    return lines;
}

ProcessResult runProcess(const QString& program, const QStringList& arguments, int timeoutMs)
{
    QProcess process;
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.remove(QStringLiteral("QT_MESSAGE_PATTERN"));
    environment.remove(QStringLiteral("QT_LOGGING_RULES"));
    process.setProcessEnvironment(environment);
    process.start(program, arguments);

    ProcessResult result;
    result.finished = process.waitForFinished(timeoutMs);
    if (!result.finished) {
        process.kill();
        process.waitForFinished(5000);
    }
    result.exitCode = process.exitCode();
    result.exitStatus = process.exitStatus();
    result.standardOutput = process.readAllStandardOutput();
    result.standardError = process.readAllStandardError();
    return result;
}

QString ostrelProgram() { return QStringLiteral(OSTREL_PROGRAM); }

QString ostrelWithoutRealBackendProgram() { return QStringLiteral(OSTREL_WITHOUT_REAL_BACKEND_PROGRAM); }

QString exampleProfilePath() { return QStringLiteral(OSTREL_EXAMPLE_PROFILE); }
