// Arbitrary bytes as a device profile file: an accepted profile passes every
// safety rule on its own, a refused one gives one reason on one line and
// leaves a default-constructed record behind.
#include "fuzz/scratchdir.h"
#include "profile/deviceprofile.h"
#include "profile/profilevalidation.h"

#include <QDateTime>
#include <QFile>
#include <QTemporaryDir>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>

namespace {

QTemporaryDir* directory = nullptr;
quint64 inputNumber = 0;

[[noreturn]] void fail(const char* what, const QString& detail = QString())
{
    std::fprintf(stderr, "fuzz_profile: %s %s\n", what, qUtf8Printable(detail));
    // abort() runs no destructors, so the scratch directory goes here.
    if (directory)
        directory->remove();
    std::abort();
}

// Values no profile file holds, so a refusal that leaves any of them shows.
DeviceProfile scribbledRecord()
{
    DeviceProfile p;
    p.Validated = p.SampleFreshnessVerified = p.ExclusiveControlConfirmed = true;
    p.DeviceSerial = p.BackendProgram = p.RpmReadPattern = QStringLiteral("stale");
    p.MinimumTargetC = p.MaximumTargetC = p.SensorMinimumC = p.MaximumTemperatureC = p.RecoveryTemperatureC = -7.5;
    p.MinimumRpm = p.MaximumRpm = p.SpinUpRpm = p.RpmStep = p.RpmTolerance = -7;
    p.SpinUpMs = p.SettlingMs = p.MaximumOffMs = p.CommandTimeoutMs = p.MaximumSampleAgeMs = -7;
    p.LeaseMs = p.MaximumFeedbackAgeMs = p.StableHoldMs = -7;
    p.LeadC = p.LeadSeconds = p.FilterSeconds = p.Kp = p.Ki = p.SlewPerSecond = -7.5;
    p.StableBandC = p.StableSlopeCPerSecond = -7.5;
    return p;
}

bool sameNumber(double a, double b) { return a == b || (std::isnan(a) && std::isnan(b)); }

bool defaultConstructed(const DeviceProfile& p)
{
    const DeviceProfile d;
    return p.Validated == d.Validated && p.SampleFreshnessVerified == d.SampleFreshnessVerified
        && p.ExclusiveControlConfirmed == d.ExclusiveControlConfirmed && p.DeviceSerial.isNull()
        && p.BackendProgram.isNull() && p.RpmReadPattern.isNull() && sameNumber(p.MinimumTargetC, d.MinimumTargetC)
        && sameNumber(p.MaximumTargetC, d.MaximumTargetC) && sameNumber(p.SensorMinimumC, d.SensorMinimumC)
        && sameNumber(p.MaximumTemperatureC, d.MaximumTemperatureC)
        && sameNumber(p.RecoveryTemperatureC, d.RecoveryTemperatureC) && p.MinimumRpm == d.MinimumRpm
        && p.MaximumRpm == d.MaximumRpm && p.SpinUpRpm == d.SpinUpRpm && p.RpmStep == d.RpmStep
        && p.RpmTolerance == d.RpmTolerance && p.SpinUpMs == d.SpinUpMs && p.SettlingMs == d.SettlingMs
        && p.MaximumOffMs == d.MaximumOffMs && p.CommandTimeoutMs == d.CommandTimeoutMs
        && p.MaximumSampleAgeMs == d.MaximumSampleAgeMs && p.LeaseMs == d.LeaseMs
        && p.MaximumFeedbackAgeMs == d.MaximumFeedbackAgeMs && sameNumber(p.LeadC, d.LeadC)
        && sameNumber(p.LeadSeconds, d.LeadSeconds) && sameNumber(p.FilterSeconds, d.FilterSeconds)
        && sameNumber(p.Kp, d.Kp) && sameNumber(p.Ki, d.Ki) && sameNumber(p.SlewPerSecond, d.SlewPerSecond)
        && sameNumber(p.StableBandC, d.StableBandC) && sameNumber(p.StableSlopeCPerSecond, d.StableSlopeCPerSecond)
        && p.StableHoldMs == d.StableHoldMs;
}

bool oneLine(const QString& text)
{
    for (const QChar c : text) {
        if (c == QLatin1Char('\n') || c == QLatin1Char('\r'))
            return false;
    }
    return true;
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    static QTemporaryDir shared(scratchDirTemplate("fuzz_profile"));
    if (!shared.isValid())
        fail("no temporary directory");
    directory = &shared;
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    // The INI reader caches a file by its path and reads it again only when
    // its size or time stamp changed: every input gets a time stamp of its own.
    const QString path = directory->filePath(QStringLiteral("profile.ini"));
    {
        QFile file(path);
        if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate)
            || file.write(reinterpret_cast<const char*>(data), qint64(size)) != qint64(size) || !file.flush()
            || !file.setFileTime(
                QDateTime::fromSecsSinceEpoch(qint64(++inputNumber), Qt::UTC), QFileDevice::FileModificationTime))
            fail("cannot write", path);
    }

    DeviceProfile loaded = scribbledRecord();
    QString reason = QStringLiteral("stale reason");
    const bool accepted = loadDeviceProfile(path, &loaded, &reason);

    if (accepted) {
        if (!reason.isEmpty())
            fail("an accepted profile came with a reason:", reason);
        QString rule;
        if (!validateDeviceProfile(loaded, &rule))
            fail("an accepted profile breaks a rule:", rule);
    } else {
        if (reason.isEmpty() || !oneLine(reason))
            fail("a refusal needs exactly one reason on one line:", reason);
        if (!defaultConstructed(loaded))
            fail("a refusal left a filled record behind:", reason);
    }
    return 0;
}
