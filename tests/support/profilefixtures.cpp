// Profile text and records shared by the tests.
#include "profilefixtures.h"

#include "processrun.h"

#include <QFile>
#include <QTemporaryDir>
#include <QtGlobal>
#include <cmath>

ProfileIni::ProfileIni()
    : entries {
        { QStringLiteral("Validated"), QStringLiteral("true") },
        { QStringLiteral("SampleFreshnessVerified"), QStringLiteral("true") },
        { QStringLiteral("ExclusiveControlConfirmed"), QStringLiteral("true") },
        { QStringLiteral("DeviceSerial"), QStringLiteral("SN-0001") },
        { QStringLiteral("BackendProgram"), QStringLiteral("/usr/bin/kevo") },
        { QStringLiteral("RpmReadPattern"), QStringLiteral("([0-9]+)") },
        { QStringLiteral("MinimumTargetC"), QStringLiteral("20") },
        { QStringLiteral("MaximumTargetC"), QStringLiteral("45") },
        { QStringLiteral("SensorMinimumC"), QStringLiteral("-40") },
        { QStringLiteral("MaximumTemperatureC"), QStringLiteral("70") },
        { QStringLiteral("RecoveryTemperatureC"), QStringLiteral("60") },
        { QStringLiteral("MinimumRpm"), QStringLiteral("1200") },
        { QStringLiteral("MaximumRpm"), QStringLiteral("6000") },
        { QStringLiteral("SpinUpRpm"), QStringLiteral("3000") },
        { QStringLiteral("RpmStep"), QStringLiteral("100") },
        { QStringLiteral("RpmTolerance"), QStringLiteral("150") },
        { QStringLiteral("SpinUpMs"), QStringLiteral("3000") },
        { QStringLiteral("SettlingMs"), QStringLiteral("8000") },
        { QStringLiteral("MaximumOffMs"), QStringLiteral("60000") },
        { QStringLiteral("CommandTimeoutMs"), QStringLiteral("1000") },
        { QStringLiteral("MaximumSampleAgeMs"), QStringLiteral("6000") },
        { QStringLiteral("LeaseMs"), QStringLiteral("3000") },
        { QStringLiteral("MaximumFeedbackAgeMs"), QStringLiteral("3000") },
        { QStringLiteral("LeadC"), QStringLiteral("2") },
        { QStringLiteral("LeadSeconds"), QStringLiteral("10") },
        { QStringLiteral("FilterSeconds"), QStringLiteral("5") },
        { QStringLiteral("Kp"), QStringLiteral("0.8") },
        { QStringLiteral("Ki"), QStringLiteral("0.05") },
        { QStringLiteral("SlewPerSecond"), QStringLiteral("0.5") },
        { QStringLiteral("StableBandC"), QStringLiteral("0.5") },
        { QStringLiteral("StableSlopeCPerSecond"), QStringLiteral("0.01") },
        { QStringLiteral("StableHoldMs"), QStringLiteral("10000") },
    }
{
}

ProfileIni& ProfileIni::set(const QString& key, const QString& rawValue)
{
    for (auto& entry : entries) {
        if (entry.first == key) {
            entry.second = rawValue;
            return *this;
        }
    }
    entries.append({ key, rawValue });
    return *this;
}

ProfileIni& ProfileIni::remove(const QString& key)
{
    for (int i = 0; i < entries.size(); ++i) {
        if (entries.at(i).first == key) {
            entries.remove(i);
            break;
        }
    }
    return *this;
}

ProfileIni& ProfileIni::withShortTimings()
{
    return set(QStringLiteral("CommandTimeoutMs"), QStringLiteral("100"))
        .set(QStringLiteral("SpinUpMs"), QStringLiteral("100"))
        .set(QStringLiteral("SettlingMs"), QStringLiteral("300"))
        .set(QStringLiteral("LeaseMs"), QStringLiteral("1500"))
        .set(QStringLiteral("MaximumFeedbackAgeMs"), QStringLiteral("1500"))
        .set(QStringLiteral("MaximumSampleAgeMs"), QStringLiteral("1500"))
        .set(QStringLiteral("MaximumOffMs"), QStringLiteral("1500"))
        .set(QStringLiteral("LeadSeconds"), QStringLiteral("1"));
}

ProfileIni& ProfileIni::withKevoSimFan()
{
    const QString lease = QString::number(RealFanTimings::LeaseMs);
    return set(QStringLiteral("BackendProgram"), kevoSimProgram())
        .set(QStringLiteral("CommandTimeoutMs"), QString::number(RealFanTimings::CommandTimeoutMs))
        .set(QStringLiteral("SpinUpMs"), QString::number(RealFanTimings::SpinUpMs))
        .set(QStringLiteral("SettlingMs"), QString::number(RealFanTimings::SettlingMs))
        .set(QStringLiteral("LeaseMs"), lease)
        .set(QStringLiteral("MaximumFeedbackAgeMs"), lease)
        .set(QStringLiteral("MaximumSampleAgeMs"), lease)
        .set(QStringLiteral("MaximumOffMs"), lease)
        .set(QStringLiteral("LeadSeconds"), QStringLiteral("1"));
}

QByteArray ProfileIni::text() const
{
    QByteArray text = "[RfuDeviceProfile]\n";
    for (const auto& entry : entries)
        text += entry.first.toUtf8() + '=' + entry.second.toUtf8() + '\n';
    return text;
}

QString ProfileIni::writeTo(const QTemporaryDir& dir, const QString& name) const
{
    return writeFile(dir, name, text());
}

QString writeFile(const QTemporaryDir& dir, const QString& name, const QByteArray& content)
{
    const QString path = dir.filePath(name);
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate) || file.write(content) != content.size())
        qFatal("Cannot write test file %s", qPrintable(path));
    return path;
}

static DeviceProfile loadedProfile(const ProfileIni& ini)
{
    QTemporaryDir dir;
    DeviceProfile profile;
    QString error;
    if (!dir.isValid() || !loadDeviceProfile(ini.writeTo(dir), &profile, &error))
        qFatal("A test profile does not load: %s", qPrintable(error));
    return profile;
}

DeviceProfile passingDeviceProfile() { return loadedProfile(ProfileIni()); }

DeviceProfile shortTimingDeviceProfile() { return loadedProfile(ProfileIni().withShortTimings()); }

QStringList profileDifferences(const DeviceProfile& a, const DeviceProfile& b)
{
    QStringList differences;
    const auto sameNumber = [](double x, double y) { return x == y || (std::isnan(x) && std::isnan(y)); };
#define OSTREL_COMPARE(field, same)                                                                                    \
    if (!(same))                                                                                                       \
        differences << QStringLiteral(#field);
#define OSTREL_COMPARE_EXACT(field) OSTREL_COMPARE(field, a.field == b.field)
#define OSTREL_COMPARE_DOUBLE(field) OSTREL_COMPARE(field, sameNumber(a.field, b.field))
    OSTREL_COMPARE_EXACT(Validated)
    OSTREL_COMPARE_EXACT(SampleFreshnessVerified)
    OSTREL_COMPARE_EXACT(ExclusiveControlConfirmed)
    OSTREL_COMPARE_EXACT(DeviceSerial)
    OSTREL_COMPARE_EXACT(BackendProgram)
    OSTREL_COMPARE_EXACT(RpmReadPattern)
    OSTREL_COMPARE_DOUBLE(MinimumTargetC)
    OSTREL_COMPARE_DOUBLE(MaximumTargetC)
    OSTREL_COMPARE_DOUBLE(SensorMinimumC)
    OSTREL_COMPARE_DOUBLE(MaximumTemperatureC)
    OSTREL_COMPARE_DOUBLE(RecoveryTemperatureC)
    OSTREL_COMPARE_EXACT(MinimumRpm)
    OSTREL_COMPARE_EXACT(MaximumRpm)
    OSTREL_COMPARE_EXACT(SpinUpRpm)
    OSTREL_COMPARE_EXACT(RpmStep)
    OSTREL_COMPARE_EXACT(RpmTolerance)
    OSTREL_COMPARE_EXACT(SpinUpMs)
    OSTREL_COMPARE_EXACT(SettlingMs)
    OSTREL_COMPARE_EXACT(MaximumOffMs)
    OSTREL_COMPARE_EXACT(CommandTimeoutMs)
    OSTREL_COMPARE_EXACT(MaximumSampleAgeMs)
    OSTREL_COMPARE_EXACT(LeaseMs)
    OSTREL_COMPARE_EXACT(MaximumFeedbackAgeMs)
    OSTREL_COMPARE_DOUBLE(LeadC)
    OSTREL_COMPARE_DOUBLE(LeadSeconds)
    OSTREL_COMPARE_DOUBLE(FilterSeconds)
    OSTREL_COMPARE_DOUBLE(Kp)
    OSTREL_COMPARE_DOUBLE(Ki)
    OSTREL_COMPARE_DOUBLE(SlewPerSecond)
    OSTREL_COMPARE_DOUBLE(StableBandC)
    OSTREL_COMPARE_DOUBLE(StableSlopeCPerSecond)
    OSTREL_COMPARE_EXACT(StableHoldMs)
#undef OSTREL_COMPARE_DOUBLE
#undef OSTREL_COMPARE_EXACT
#undef OSTREL_COMPARE
    return differences;
}
