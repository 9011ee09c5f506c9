#pragma once

class QCommandLineParser;
class QString;
struct DeviceProfile;

// Registers the help option and the daemon's four options, in help order.
void addGuardOptions(QCommandLineParser* parser);

// loadDeviceProfile with the framework's own messages silenced: it may warn
// about odd INI values (a typed value it cannot decode) while the file is
// read, and a refused start is one line, the reason.
bool loadProfileQuietly(const QString& path, DeviceProfile* profile, QString* error);

// Everything main does after the parser has processed the arguments: the
// platform check, the profile load and the run phase. Returns the exit code.
int runFromCommandLine(const QCommandLineParser& parser, bool realBackendAvailable);
