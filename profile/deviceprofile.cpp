// Loading the device safety profile: the INI file, its strict field readers and the file-level checks.
#include "profile/deviceprofile.h"

#include "profile/failwith.h"
#include "profile/profilevalidation.h"

#include <QFile>
#include <QLocale>
#include <QRegularExpression>
#include <QSettings>
#include <QVariant>
#include <cmath>
#include <limits>

namespace {

// Compiled once per process; function-local statics are initialised exactly
// once even when several threads make the first call together, and a const
// QRegularExpression may then be matched from any thread.
const QRegularExpression& integerPattern()
{
    static const QRegularExpression pattern = [] {
        QRegularExpression re(QRegularExpression::anchoredPattern(QStringLiteral("[+-]?[0-9]+")));
        re.optimize();
        return re;
    }();
    return pattern;
}

const QRegularExpression& decimalPattern()
{
    static const QRegularExpression pattern = [] {
        QRegularExpression re(QRegularExpression::anchoredPattern(
            QStringLiteral("[+-]?(?:[0-9]+(?:\\.[0-9]*)?|\\.[0-9]+)(?:[eE][+-]?[0-9]+)?")));
        re.optimize();
        return re;
    }();
    return pattern;
}

// The reading order is part of the contract: when several fields are wrong,
// the first one in this order is the one reported.
struct BoolField {
    const char* key;
    bool DeviceProfile::*field;
};
struct TextField {
    const char* key;
    QString DeviceProfile::*field;
};
struct IntField {
    const char* key;
    int DeviceProfile::*field;
    bool required;
};
struct DoubleField {
    const char* key;
    double DeviceProfile::*field;
};

const BoolField kBoolFields[] = {
    { "Validated", &DeviceProfile::Validated },
    { "SampleFreshnessVerified", &DeviceProfile::SampleFreshnessVerified },
    { "ExclusiveControlConfirmed", &DeviceProfile::ExclusiveControlConfirmed },
};

const TextField kTextFields[] = {
    { "DeviceSerial", &DeviceProfile::DeviceSerial },
    { "BackendProgram", &DeviceProfile::BackendProgram },
    { "RpmReadPattern", &DeviceProfile::RpmReadPattern },
};

const IntField kIntFields[] = {
    { "MinimumRpm", &DeviceProfile::MinimumRpm, true },
    { "MaximumRpm", &DeviceProfile::MaximumRpm, true },
    { "SpinUpRpm", &DeviceProfile::SpinUpRpm, true },
    { "RpmStep", &DeviceProfile::RpmStep, true },
    { "RpmTolerance", &DeviceProfile::RpmTolerance, true },
    { "SpinUpMs", &DeviceProfile::SpinUpMs, true },
    { "SettlingMs", &DeviceProfile::SettlingMs, true },
    { "MaximumOffMs", &DeviceProfile::MaximumOffMs, true },
    { "CommandTimeoutMs", &DeviceProfile::CommandTimeoutMs, false },
    { "MaximumSampleAgeMs", &DeviceProfile::MaximumSampleAgeMs, false },
    { "LeaseMs", &DeviceProfile::LeaseMs, false },
    { "MaximumFeedbackAgeMs", &DeviceProfile::MaximumFeedbackAgeMs, false },
    { "StableHoldMs", &DeviceProfile::StableHoldMs, true },
};

const DoubleField kDoubleFields[] = {
    { "MinimumTargetC", &DeviceProfile::MinimumTargetC },
    { "MaximumTargetC", &DeviceProfile::MaximumTargetC },
    { "SensorMinimumC", &DeviceProfile::SensorMinimumC },
    { "MaximumTemperatureC", &DeviceProfile::MaximumTemperatureC },
    { "RecoveryTemperatureC", &DeviceProfile::RecoveryTemperatureC },
    { "LeadC", &DeviceProfile::LeadC },
    { "LeadSeconds", &DeviceProfile::LeadSeconds },
    { "FilterSeconds", &DeviceProfile::FilterSeconds },
    { "Kp", &DeviceProfile::Kp },
    { "Ki", &DeviceProfile::Ki },
    { "SlewPerSecond", &DeviceProfile::SlewPerSecond },
    { "StableBandC", &DeviceProfile::StableBandC },
    { "StableSlopeCPerSecond", &DeviceProfile::StableSlopeCPerSecond },
};

bool readAllFields(const QSettings& settings, DeviceProfile* profile, QString* error)
{
    for (const BoolField& f : kBoolFields) {
        if (!readBoolField(settings, QLatin1String(f.key), &(profile->*f.field), error))
            return false;
    }
    for (const TextField& f : kTextFields) {
        if (!readTextField(settings, QLatin1String(f.key), &(profile->*f.field), error, true))
            return false;
    }
    for (const IntField& f : kIntFields) {
        if (!readIntField(settings, QLatin1String(f.key), &(profile->*f.field), error, f.required))
            return false;
    }
    for (const DoubleField& f : kDoubleFields) {
        if (!readDoubleField(settings, QLatin1String(f.key), &(profile->*f.field), error))
            return false;
    }
    return true;
}

} // namespace

QStringList deviceProfileKeys()
{
    QStringList keys;
    for (const QPair<QString, QString>& value : deviceProfileValues(DeviceProfile()))
        keys << value.first;
    return keys;
}

QVector<QPair<QString, QString>> deviceProfileValues(const DeviceProfile& profile)
{
    QVector<QPair<QString, QString>> values;
    for (const BoolField& f : kBoolFields)
        values.append({ QLatin1String(f.key), QLatin1String(profile.*f.field ? "true" : "false") });
    for (const TextField& f : kTextFields)
        values.append({ QLatin1String(f.key), profile.*f.field });
    for (const IntField& f : kIntFields)
        values.append({ QLatin1String(f.key), QString::number(profile.*f.field) });
    for (const DoubleField& f : kDoubleFields)
        values.append({ QLatin1String(f.key), QString::number(profile.*f.field, 'g', QLocale::FloatingPointShortest) });
    return values;
}

bool readTextField(const QSettings& settings, const QString& key, QString* out, QString* error, bool required)
{
    if (!settings.contains(key)) {
        if (!required)
            return true;
        return failWith(error, QStringLiteral("Missing configuration field: %1").arg(key));
    }
    // An unquoted comma makes the INI value a list, and the @Type(...) syntax
    // other typed values; neither is a plain setting.
    const QVariant value = settings.value(key);
    if (value.userType() != QMetaType::QString)
        return failWith(error, QStringLiteral("Expected a scalar text value: %1").arg(key));
    const QString text = value.toString().trimmed();
    if (out)
        *out = text;
    if (text.isEmpty())
        return failWith(error, QStringLiteral("Empty configuration field: %1").arg(key));
    return true;
}

bool readBoolField(const QSettings& settings, const QString& key, bool* out, QString* error)
{
    QString text;
    if (!readTextField(settings, key, &text, error, true))
        return false;
    if (text != QLatin1String("true") && text != QLatin1String("false"))
        return failWith(error, QStringLiteral("Expected true or false: %1").arg(key));
    if (out)
        *out = text == QLatin1String("true");
    return true;
}

bool readIntField(const QSettings& settings, const QString& key, int* out, QString* error, bool required)
{
    if (!required && !settings.contains(key))
        return true;
    QString text;
    if (!readTextField(settings, key, &text, error, true))
        return false;
    bool converted = false;
    const qint64 value = integerPattern().match(text).hasMatch() ? text.toLongLong(&converted, 10) : 0;
    if (!converted || value < std::numeric_limits<qint32>::min() || value > std::numeric_limits<qint32>::max())
        return failWith(error, QStringLiteral("Expected a bounded integer: %1").arg(key));
    if (out)
        *out = static_cast<int>(value);
    return true;
}

bool readDoubleField(const QSettings& settings, const QString& key, double* out, QString* error)
{
    QString text;
    if (!readTextField(settings, key, &text, error, true))
        return false;
    bool converted = false;
    // QString::toDouble always uses the C locale, so the point is the only decimal separator.
    const double value = decimalPattern().match(text).hasMatch() ? text.toDouble(&converted) : 0.0;
    if (!converted || !std::isfinite(value))
        return failWith(error, QStringLiteral("Expected a finite decimal number: %1").arg(key));
    if (out)
        *out = value;
    return true;
}

bool checkProfileReadable(const QString& path, QString* error)
{
    QFile file(path);
    if (path.isEmpty() || !file.open(QIODevice::ReadOnly))
        return failWith(error, QStringLiteral("Cannot read thermal configuration: %1").arg(path));
    return true;
}

bool checkSettingsStatus(QSettings& settings, QString* error)
{
    // Listing the keys makes QSettings parse the file, so a format error shows in status().
    settings.allKeys();
    if (settings.status() != QSettings::NoError)
        return failWith(error, QStringLiteral("Malformed or inaccessible thermal configuration"));
    return true;
}

namespace {

// The file-level checks, then read on the settings positioned in the profile's group.
template <typename Read> bool readProfileFile(const QString& path, QString* error, Read read)
{
    if (!checkProfileReadable(path, error))
        return false;
    QSettings settings(path, QSettings::IniFormat);
    settings.setFallbacksEnabled(false);
    settings.setIniCodec("UTF-8");
    settings.beginGroup(QLatin1String(kProfileGroup));
    return checkSettingsStatus(settings, error) && read(settings);
}

} // namespace

bool loadDeviceProfile(const QString& path, DeviceProfile* out, QString* error)
{
    if (error)
        error->clear();
    if (!out)
        return failWith(error, QStringLiteral("Null device profile output"));
    *out = DeviceProfile();

    // Read into a local record so that a failure never leaves a partly read profile in *out.
    DeviceProfile loaded;
    if (!readProfileFile(path, error, [&](const QSettings& settings) {
            return readAllFields(settings, &loaded, error) && validateDeviceProfile(loaded, error);
        }))
        return false;
    *out = loaded;
    return true;
}

bool loadRecoveryProfile(const QString& path, DeviceProfile* out, QString* ignored, QString* error)
{
    if (loadDeviceProfile(path, out, ignored)) {
        ignored->clear();
        return true;
    }
    if (error)
        error->clear();
    DeviceProfile used;
    if (!readProfileFile(path, error, [&](const QSettings& settings) {
            return readTextField(settings, QStringLiteral("BackendProgram"), &used.BackendProgram, error, true)
                && readTextField(settings, QStringLiteral("RpmReadPattern"), &used.RpmReadPattern, error, true)
                && readIntField(settings, QStringLiteral("MaximumRpm"), &used.MaximumRpm, error, true)
                && readIntField(settings, QStringLiteral("RpmTolerance"), &used.RpmTolerance, error, true)
                && readIntField(settings, QStringLiteral("SettlingMs"), &used.SettlingMs, error, true)
                && readIntField(settings, QStringLiteral("CommandTimeoutMs"), &used.CommandTimeoutMs, error, false)
                && validateRecoveryProfile(used, error);
        }))
        return false;
    *out = used;
    return true;
}

namespace {

template <typename Load> bool quietly(Load load)
{
    const QtMessageHandler defaultHandler
        = qInstallMessageHandler([](QtMsgType, const QMessageLogContext&, const QString&) {});
    const bool loaded = load();
    qInstallMessageHandler(defaultHandler);
    return loaded;
}

} // namespace

bool loadProfileQuietly(const QString& path, DeviceProfile* out, QString* error)
{
    return quietly([&] { return loadDeviceProfile(path, out, error); });
}

bool loadRecoveryProfileQuietly(const QString& path, DeviceProfile* out, QString* ignored, QString* error)
{
    return quietly([&] { return loadRecoveryProfile(path, out, ignored, error); });
}
