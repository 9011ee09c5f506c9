// The profile safety rules: each group's boundary pair, and the group order.
#include "profile/profilevalidation.h"

#include "profilefixtures.h"

#include <QtTest>
#include <functional>
#include <limits>

using ProfileChange = std::function<void(DeviceProfile&)>;
Q_DECLARE_METATYPE(ProfileChange)

namespace {

const QString kAttestations
    = QStringLiteral("Device validation, sample freshness and exclusive control must all be confirmed");
const QString kIdentity = QStringLiteral("Device identity and backend fields must be explicitly configured");
const QString kPattern = QStringLiteral("RpmReadPattern must have one capture and must not match empty input");
const QString kEnvelope = QStringLiteral("Device numeric fields must be finite and within the arithmetic envelope");
const QString kLadder = QStringLiteral("Invalid temperature range, recovery margin or lead margin");
const QString kRpmGrid = QStringLiteral("Invalid RPM bounds, step, tolerance or spin-up speed");
const QString kTimeoutRange = QStringLiteral("Thermal timeouts must be positive and at most one day");
const QString kShortDeadlines
    = QStringLiteral("Safety freshness/lease deadlines exceed one minute or fan settling exceeds ten minutes");
const QString kOrdering = QStringLiteral("Unsafe timeout ordering or invalid control coefficients");
const QString kTargetRange = QStringLiteral("TargetTemperatureC is outside the validated device range");

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr double kInf = std::numeric_limits<double>::infinity();

// One row: a change to the passing profile and the message expected ("" passes).
void row(const char* name, ProfileChange change, const QString& error) { QTest::newRow(name) << change << error; }

} // namespace

class tst_ProfileValidation : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void rules_data();
    void rules();
    void targetTemperature_data();
    void targetTemperature();
};

void tst_ProfileValidation::rules_data()
{
    QTest::addColumn<ProfileChange>("change");
    QTest::addColumn<QString>("error");

    row(
        "passing profile", [](DeviceProfile&) {}, "");

    row(
        "not validated", [](DeviceProfile& p) { p.Validated = false; }, kAttestations);
    row(
        "freshness not verified", [](DeviceProfile& p) { p.SampleFreshnessVerified = false; }, kAttestations);
    row(
        "exclusive control not confirmed", [](DeviceProfile& p) { p.ExclusiveControlConfirmed = false; },
        kAttestations);
    row(
        "attestations are reported before everything else",
        [](DeviceProfile& p) {
            p = DeviceProfile();
            p.Kp = kNaN;
        },
        kAttestations);

    row(
        "empty serial", [](DeviceProfile& p) { p.DeviceSerial.clear(); }, kIdentity);
    row(
        "blank serial", [](DeviceProfile& p) { p.DeviceSerial = QStringLiteral("  "); }, kIdentity);
    row(
        "serial with a leading blank", [](DeviceProfile& p) { p.DeviceSerial = QStringLiteral(" SN-0001"); },
        kIdentity);
    row(
        "serial with a trailing tab", [](DeviceProfile& p) { p.DeviceSerial = QStringLiteral("SN-0001\t"); },
        kIdentity);
    row(
        "blank backend program", [](DeviceProfile& p) { p.BackendProgram = QStringLiteral(" "); }, kIdentity);
    row(
        "blank reply pattern", [](DeviceProfile& p) { p.RpmReadPattern = QStringLiteral(" "); }, kIdentity);

    row(
        "pattern matching empty input", [](DeviceProfile& p) { p.RpmReadPattern = QStringLiteral("([0-9]*)"); },
        kPattern);
    row(
        "pattern with optional text matching empty input",
        [](DeviceProfile& p) { p.RpmReadPattern = QStringLiteral("(x)?"); }, kPattern);
    row(
        "pattern with two groups", [](DeviceProfile& p) { p.RpmReadPattern = QStringLiteral("(a)(b)"); }, kPattern);
    row(
        "pattern without a capturing group", [](DeviceProfile& p) { p.RpmReadPattern = QStringLiteral("(?:x)"); },
        kPattern);
    row(
        "pattern that does not compile", [](DeviceProfile& p) { p.RpmReadPattern = QStringLiteral("([0-9]+"); },
        kPattern);
    row(
        "named group counts as the capture",
        [](DeviceProfile& p) { p.RpmReadPattern = QStringLiteral("rpm=(?<rpm>[0-9]+)"); }, "");
    row(
        "non-capturing groups beside the capture",
        [](DeviceProfile& p) { p.RpmReadPattern = QStringLiteral("(?:fan )?([0-9]+)(?: rpm)?"); }, "");

    row(
        "Kp at the envelope", [](DeviceProfile& p) { p.Kp = 1000000; }, "");
    row(
        "Kp beyond the envelope", [](DeviceProfile& p) { p.Kp = 1000000.5; }, kEnvelope);
    row(
        "negative value beyond the envelope", [](DeviceProfile& p) { p.SensorMinimumC = -1000000.5; }, kEnvelope);
    row(
        "NaN", [](DeviceProfile& p) { p.StableSlopeCPerSecond = kNaN; }, kEnvelope);
    row(
        "infinity", [](DeviceProfile& p) { p.MinimumTargetC = kInf; }, kEnvelope);

    row(
        "sensor minimum at absolute zero", [](DeviceProfile& p) { p.SensorMinimumC = -273.15; }, "");
    row(
        "sensor minimum below absolute zero", [](DeviceProfile& p) { p.SensorMinimumC = -273.16; }, kLadder);
    row(
        "sensor minimum just below target minus lead", [](DeviceProfile& p) { p.SensorMinimumC = 17.999; }, "");
    row(
        "sensor minimum at target minus lead", [](DeviceProfile& p) { p.SensorMinimumC = 18; }, kLadder);
    row(
        "single-point target range", [](DeviceProfile& p) { p.MinimumTargetC = 45; }, "");
    row(
        "inverted target range", [](DeviceProfile& p) { p.MinimumTargetC = 45.0001; }, kLadder);
    row(
        "zero stable band", [](DeviceProfile& p) { p.StableBandC = 0; }, kLadder);
    row(
        "recovery just above target plus band", [](DeviceProfile& p) { p.RecoveryTemperatureC = 45.6; }, "");
    row(
        "recovery at target plus band", [](DeviceProfile& p) { p.RecoveryTemperatureC = 45.5; }, kLadder);
    row(
        "recovery at the maximum temperature", [](DeviceProfile& p) { p.RecoveryTemperatureC = 70; }, kLadder);
    row(
        "recovery just below the maximum temperature", [](DeviceProfile& p) { p.RecoveryTemperatureC = 69.99; }, "");
    row(
        "zero lead", [](DeviceProfile& p) { p.LeadC = 0; }, kLadder);
    row(
        "negative lead", [](DeviceProfile& p) { p.LeadC = -0.001; }, kLadder);

    row(
        "zero minimum RPM", [](DeviceProfile& p) { p.MinimumRpm = 0; }, kRpmGrid);
    row(
        "maximum below minimum", [](DeviceProfile& p) { p.MaximumRpm = 1100; }, kRpmGrid);
    row(
        "maximum RPM at its limit", [](DeviceProfile& p) { p.MaximumRpm = 10000000; }, "");
    row(
        "maximum RPM beyond its limit", [](DeviceProfile& p) { p.MaximumRpm = 10000100; }, kRpmGrid);
    row(
        "spin-up at the minimum", [](DeviceProfile& p) { p.SpinUpRpm = 1200; }, "");
    row(
        "spin-up below the minimum", [](DeviceProfile& p) { p.SpinUpRpm = 1100; }, kRpmGrid);
    row(
        "spin-up at the maximum", [](DeviceProfile& p) { p.SpinUpRpm = 6000; }, "");
    row(
        "spin-up above the maximum", [](DeviceProfile& p) { p.SpinUpRpm = 6100; }, kRpmGrid);
    row(
        "spin-up off the step grid", [](DeviceProfile& p) { p.SpinUpRpm = 3050; }, kRpmGrid);
    row(
        "minimum off the step grid", [](DeviceProfile& p) { p.MinimumRpm = 1250; }, kRpmGrid);
    row(
        "maximum off the step grid", [](DeviceProfile& p) { p.MaximumRpm = 5950; }, kRpmGrid);
    row(
        "zero step", [](DeviceProfile& p) { p.RpmStep = 0; }, kRpmGrid);
    row(
        "step of one", [](DeviceProfile& p) { p.RpmStep = 1; }, "");
    row(
        "coarse step dividing every bound", [](DeviceProfile& p) { p.RpmStep = 600; }, "");
    row(
        "step above the minimum", [](DeviceProfile& p) { p.RpmStep = 1201; }, kRpmGrid);
    row(
        "tolerance just below the minimum", [](DeviceProfile& p) { p.RpmTolerance = 1199; }, "");
    row(
        "tolerance at the minimum", [](DeviceProfile& p) { p.RpmTolerance = 1200; }, kRpmGrid);
    row(
        "zero tolerance", [](DeviceProfile& p) { p.RpmTolerance = 0; }, "");
    row(
        "negative tolerance", [](DeviceProfile& p) { p.RpmTolerance = -1; }, kRpmGrid);

    row(
        "zero command timeout", [](DeviceProfile& p) { p.CommandTimeoutMs = 0; }, kTimeoutRange);
    row(
        "zero off time", [](DeviceProfile& p) { p.MaximumOffMs = 0; }, kTimeoutRange);
    row(
        "negative spin-up time", [](DeviceProfile& p) { p.SpinUpMs = -1; }, kTimeoutRange);
    row(
        "stable hold of one millisecond", [](DeviceProfile& p) { p.StableHoldMs = 1; }, "");
    row(
        "stable hold of one day", [](DeviceProfile& p) { p.StableHoldMs = 86400000; }, "");
    row(
        "stable hold beyond one day", [](DeviceProfile& p) { p.StableHoldMs = 86400001; }, kTimeoutRange);
    row(
        "off time beyond one day", [](DeviceProfile& p) { p.MaximumOffMs = 86400001; }, kTimeoutRange);

    row(
        "lease of one minute", [](DeviceProfile& p) { p.LeaseMs = 60000; }, "");
    row(
        "lease beyond one minute", [](DeviceProfile& p) { p.LeaseMs = 60001; }, kShortDeadlines);
    row(
        "sample age beyond one minute", [](DeviceProfile& p) { p.MaximumSampleAgeMs = 60001; }, kShortDeadlines);
    row(
        "settling of ten minutes", [](DeviceProfile& p) { p.SettlingMs = 600000; }, "");
    row(
        "settling beyond ten minutes", [](DeviceProfile& p) { p.SettlingMs = 600001; }, kShortDeadlines);
    row(
        "spin-up beyond ten minutes", [](DeviceProfile& p) { p.SpinUpMs = 600001; }, kShortDeadlines);

    row(
        "command timeout just below the lease", [](DeviceProfile& p) { p.CommandTimeoutMs = 2999; }, "");
    row(
        "command timeout equal to the lease", [](DeviceProfile& p) { p.CommandTimeoutMs = 3000; }, kOrdering);
    row(
        "feedback age beyond the lease", [](DeviceProfile& p) { p.MaximumFeedbackAgeMs = 3001; }, kOrdering);
    row(
        "settling covering command and spin-up exactly", [](DeviceProfile& p) { p.SettlingMs = 4000; }, "");
    row(
        "settling one short of command and spin-up", [](DeviceProfile& p) { p.SettlingMs = 3999; }, kOrdering);
    row(
        "off time equal to the sample age", [](DeviceProfile& p) { p.MaximumOffMs = 6000; }, "");
    row(
        "off time shorter than the sample age", [](DeviceProfile& p) { p.MaximumOffMs = 5999; }, kOrdering);
    row(
        "lead time equal to the spin-up", [](DeviceProfile& p) { p.LeadSeconds = 3; }, "");
    row(
        "lead time shorter than the spin-up", [](DeviceProfile& p) { p.LeadSeconds = 2.999; }, kOrdering);
    row(
        "zero filter time", [](DeviceProfile& p) { p.FilterSeconds = 0; }, kOrdering);
    row(
        "zero Kp", [](DeviceProfile& p) { p.Kp = 0; }, kOrdering);
    row(
        "zero Ki", [](DeviceProfile& p) { p.Ki = 0; }, "");
    row(
        "negative Ki", [](DeviceProfile& p) { p.Ki = -0.01; }, kOrdering);
    row(
        "zero slew", [](DeviceProfile& p) { p.SlewPerSecond = 0; }, kOrdering);
    row(
        "zero stable slope", [](DeviceProfile& p) { p.StableSlopeCPerSecond = 0; }, kOrdering);
}

void tst_ProfileValidation::rules()
{
    QFETCH(ProfileChange, change);
    QFETCH(QString, error);

    DeviceProfile profile = passingDeviceProfile();
    change(profile);
    QString reason = QStringLiteral("stale reason");
    QCOMPARE(validateDeviceProfile(profile, &reason), error.isEmpty());
    QCOMPARE(reason, error);
    QCOMPARE(validateDeviceProfile(profile, nullptr), error.isEmpty());
}

void tst_ProfileValidation::targetTemperature_data()
{
    QTest::addColumn<double>("target");
    QTest::addColumn<bool>("validProfile");
    QTest::addColumn<QString>("error");

    QTest::newRow("lower bound") << 20.0 << true << "";
    QTest::newRow("upper bound") << 45.0 << true << "";
    QTest::newRow("just above the range") << 45.0001 << true << kTargetRange;
    QTest::newRow("just below the range") << 19.9999 << true << kTargetRange;
    QTest::newRow("NaN") << kNaN << true << kTargetRange;
    QTest::newRow("infinity") << kInf << true << kTargetRange;
    QTest::newRow("profile rule reported first") << 30.0 << false << kAttestations;
}

void tst_ProfileValidation::targetTemperature()
{
    QFETCH(double, target);
    QFETCH(bool, validProfile);
    QFETCH(QString, error);

    DeviceProfile profile = passingDeviceProfile();
    profile.Validated = validProfile;
    ControlRequest request;
    request.TargetTemperatureC = target;
    QString reason = QStringLiteral("stale reason");
    QCOMPARE(validateTargetTemperature(request, profile, &reason), error.isEmpty());
    QCOMPARE(reason, error);
}

QTEST_GUILESS_MAIN(tst_ProfileValidation)
#include "tst_profilevalidation.moc"
