#pragma once

#include <QPair>
#include <QString>
#include <QStringList>
#include <QVector>
#include <limits>

class QSettings;

// The INI group that holds every key of the profile.
inline constexpr char kProfileGroup[] = "RfuDeviceProfile";

// The validated device safety profile: one field per key of the INI group
// RfuDeviceProfile, named exactly like the key. Only loadDeviceProfile hands
// out a filled record, and only after every validation rule has passed.
struct DeviceProfile {
    bool Validated = false;
    bool SampleFreshnessVerified = false;
    bool ExclusiveControlConfirmed = false;
    QString DeviceSerial;
    QString BackendProgram;
    QString RpmReadPattern;
    double MinimumTargetC = std::numeric_limits<double>::quiet_NaN();
    double MaximumTargetC = std::numeric_limits<double>::quiet_NaN();
    double SensorMinimumC = std::numeric_limits<double>::quiet_NaN();
    double MaximumTemperatureC = std::numeric_limits<double>::quiet_NaN();
    double RecoveryTemperatureC = std::numeric_limits<double>::quiet_NaN();
    int MinimumRpm = 0;
    int MaximumRpm = 0;
    int SpinUpRpm = 0;
    int RpmStep = 0;
    int RpmTolerance = 0;
    int SpinUpMs = 0;
    int SettlingMs = 0;
    int MaximumOffMs = 0;
    int CommandTimeoutMs = 1000;
    int MaximumSampleAgeMs = 6000;
    int LeaseMs = 3000;
    int MaximumFeedbackAgeMs = 3000;
    double LeadC = std::numeric_limits<double>::quiet_NaN();
    double LeadSeconds = std::numeric_limits<double>::quiet_NaN();
    double FilterSeconds = std::numeric_limits<double>::quiet_NaN();
    double Kp = std::numeric_limits<double>::quiet_NaN();
    double Ki = std::numeric_limits<double>::quiet_NaN();
    double SlewPerSecond = std::numeric_limits<double>::quiet_NaN();
    double StableBandC = std::numeric_limits<double>::quiet_NaN();
    double StableSlopeCPerSecond = std::numeric_limits<double>::quiet_NaN();
    int StableHoldMs = 0;
};

// Reads and validates the profile at path. On failure *out holds a
// default-constructed record and *error the one reason; error may be null.
bool loadDeviceProfile(const QString& path, DeviceProfile* out, QString* error);

// The profile as one-shot recovery reads it. The recovery uses only the fan program, its
// reply pattern, MaximumRpm, RpmTolerance, CommandTimeoutMs and SettlingMs; a rule on any
// other key must not keep it from putting the fan at the safe speed (a stricter rule in a new
// version would otherwise leave the next stop with no recovery). So a profile that fails the
// full load is read again for those keys alone, which must then hold; *ignored gets the full
// load's reason, and *out holds them with defaults elsewhere. A profile that passes in full
// loads as it is, with *ignored empty.
bool loadRecoveryProfile(const QString& path, DeviceProfile* out, QString* ignored, QString* error);

// The two loads with the framework's own messages silenced: it may warn about odd INI values (a
// typed value it cannot decode) while the file is read, and a refused start is one line, the reason.
bool loadProfileQuietly(const QString& path, DeviceProfile* out, QString* error);
bool loadRecoveryProfileQuietly(const QString& path, DeviceProfile* out, QString* ignored, QString* error);

// The profile's keys, in reading order.
QStringList deviceProfileKeys();

// Every key with the value profile holds for it, in reading order: booleans as
// true or false, doubles in their shortest form that reads back exactly.
QVector<QPair<QString, QString>> deviceProfileValues(const DeviceProfile& profile);

// Field readers. settings must be positioned in the RfuDeviceProfile group.
// The bool, int and double readers write *out only on success.
bool readTextField(const QSettings& settings, const QString& key, QString* out, QString* error, bool required);
bool readBoolField(const QSettings& settings, const QString& key, bool* out, QString* error);
bool readIntField(const QSettings& settings, const QString& key, int* out, QString* error, bool required);
bool readDoubleField(const QSettings& settings, const QString& key, double* out, QString* error);

// File-level checks run before any field is read.
bool checkProfileReadable(const QString& path, QString* error);
bool checkSettingsStatus(QSettings& settings, QString* error);
