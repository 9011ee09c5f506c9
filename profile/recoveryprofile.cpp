// Reading a profile for one-shot recovery: the keys it uses must hold, the others may not.
#include "profile/recoveryprofile.h"

#include "profile/profilevalidation.h"

#include <QSettings>

bool loadRecoveryProfile(const QString& path, DeviceProfile* out, QString* ignored, QString* error)
{
    if (loadDeviceProfile(path, out, ignored)) {
        ignored->clear();
        return true;
    }
    if (error)
        error->clear();
    if (!checkProfileReadable(path, error))
        return false;
    QSettings settings(path, QSettings::IniFormat);
    settings.setFallbacksEnabled(false);
    settings.setIniCodec("UTF-8");
    settings.beginGroup(QStringLiteral("RfuDeviceProfile"));
    DeviceProfile used;
    if (!checkSettingsStatus(settings, error)
        || !readTextField(settings, QStringLiteral("BackendProgram"), &used.BackendProgram, error, true)
        || !readTextField(settings, QStringLiteral("RpmReadPattern"), &used.RpmReadPattern, error, true)
        || !readIntField(settings, QStringLiteral("MaximumRpm"), &used.MaximumRpm, error, true)
        || !readIntField(settings, QStringLiteral("RpmTolerance"), &used.RpmTolerance, error, true)
        || !readIntField(settings, QStringLiteral("SettlingMs"), &used.SettlingMs, error, true)
        || !readIntField(settings, QStringLiteral("CommandTimeoutMs"), &used.CommandTimeoutMs, error, false)
        || !validateRecoveryProfile(used, error))
        return false;
    *out = used;
    return true;
}
