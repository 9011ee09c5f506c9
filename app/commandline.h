#pragma once

class QCommandLineParser;
class QString;

// Registers the help option and the daemon's four options, in help order.
void addGuardOptions(QCommandLineParser* parser);

// Everything main does after the parser has processed the arguments: the
// platform check, the profile load and the run phase. Returns the exit code.
int runFromCommandLine(const QCommandLineParser& parser, bool realBackendAvailable);
