#pragma once

class QCommandLineParser;
struct DeviceProfile;

// The run phase: builds the guard from the loaded profile, starts it and runs
// the event loop. Reads --safe-once and --socket from parser. Returns the exit code.
int runGuard(const DeviceProfile& profile, bool simulate, const QCommandLineParser& parser);
