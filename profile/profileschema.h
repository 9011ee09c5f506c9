#pragma once

#include <QString>
#include <QStringList>

// What the profile reader passes over in silence, found by reading the file's lines the way
// it splits them: an unknown key, a key outside the group [RfuDeviceProfile], a repeated
// key and a percent-escaped key or section name. With a backendProgram, also a fan program
// that does not exist or is not executable, on the line of the BackendProgram the guard
// uses. One line per finding, in line order, for example
//   line 12: LeaseMS: unknown key
// An unreadable file has none: loading it reports it.
QStringList profileKeyFindings(const QString& path, const QString& backendProgram = QString());
