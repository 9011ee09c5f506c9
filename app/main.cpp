// Entry point of the fan guard daemon.
#include "app/commandline.h"
#include "app/frameworktuning.h"

#include <QCommandLineParser>
#include <QCoreApplication>

#ifndef OSTREL_REAL_BACKEND
#error "OSTREL_REAL_BACKEND must be defined by the build (1 or 0)"
#endif

int main(int argc, char** argv)
{
    FrameworkTuning tuning;
    QCoreApplication app(argc, argv);
    tuning.settle();
    QCoreApplication::setApplicationName(QStringLiteral("ostrel"));

    QCommandLineParser parser;
    addGuardOptions(&parser);
    // Handles --help and command-line errors itself (exit codes 0 and 1).
    parser.process(app);

    return runFromCommandLine(parser, OSTREL_REAL_BACKEND != 0);
}
