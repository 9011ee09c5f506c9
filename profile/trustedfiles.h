#pragma once

#include "profile/deviceprofile.h"

#include <QString>

// What a guard that drives the real fan runs and reads must be root's alone: the guard and
// its recovery run the profile's BackendProgram as root, so whoever may change the profile,
// the program or a folder above either could choose what root runs. Checks the profile file
// at path and the profile's BackendProgram, which must also be an absolute path (it is
// started without a shell, from whatever working directory the guard has). A file that does
// not exist passes when the folders above it are root's alone: nobody else can put one there.
bool checkTrustedFiles(const QString& profilePath, const DeviceProfile& profile, QString* error);
