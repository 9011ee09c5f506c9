#pragma once

#include "profile/deviceprofile.h"

#include <QByteArray>
#include <QPair>
#include <QString>
#include <QStringList>
#include <QVector>

class QTemporaryDir;

// Deadlines for a real guard driving kevo-sim: short enough for tests, long
// enough for a loaded machine to run a command (recovery takes 5 × 200 + 600 =
// 1600 ms), and feedback that stays fresh across the once-a-second poll of the
// fan. The lease, sample, feedback and stop limits are all LeaseMs.
struct RealFanTimings {
    static constexpr int CommandTimeoutMs = 200;
    static constexpr int SpinUpMs = 100;
    static constexpr int SettlingMs = 600;
    static constexpr int LeaseMs = 2000;
};

// The text of a device profile that passes every rule, in the order of the
// example file. Tests change one key at a time from there.
class ProfileIni {
public:
    ProfileIni();

    // Replaces the raw value written after "Key=" (appends the key when absent).
    ProfileIni& set(const QString& key, const QString& rawValue);
    ProfileIni& remove(const QString& key);
    // Short deadlines for tests that run the guard; every rule still holds,
    // feedback stays fresh between the once-a-second polls of the fan, and
    // one-shot recovery gives up after 5 × 100 + 300 = 800 ms.
    ProfileIni& withShortTimings();
    // kevo-sim of this build as the fan program, with the deadlines of
    // RealFanTimings.
    ProfileIni& withKevoSimFan();

    QByteArray text() const;
    // Writes the text to dir/name and returns the file's path.
    QString writeTo(const QTemporaryDir& dir, const QString& name = QStringLiteral("profile.ini")) const;

private:
    QVector<QPair<QString, QString>> entries;
};

// Writes raw bytes to dir/name and returns the file's path.
QString writeFile(const QTemporaryDir& dir, const QString& name, const QByteArray& content);

// The record of ProfileIni() as loadDeviceProfile reads it.
DeviceProfile passingDeviceProfile();

// The record of ProfileIni().withShortTimings().
DeviceProfile shortTimingDeviceProfile();

// Names of the fields that differ between the two records (NaN equals NaN).
QStringList profileDifferences(const DeviceProfile& a, const DeviceProfile& b);
