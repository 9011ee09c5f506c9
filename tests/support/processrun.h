#pragma once

#include <QByteArray>
#include <QProcess>
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

// Runs program to its end, or kills it after timeoutMs. The child gets the
// test's environment without variables that would reshape its log lines.
ProcessResult runProcess(const QString& program, const QStringList& arguments, int timeoutMs = 15000);

// Paths of the built daemon, compiled into the tests by the build.
QString ostrelProgram();
QString ostrelWithoutRealBackendProgram();
QString exampleProfilePath();
