// The device safety profile: its strict readers, the validation rules and the stop-time
// budget, one change to the example profile per row (tables/profile.txt).
#include "harness.h"
#include "profile/profilevalidation.h"

#include <QtTest>

class tst_Profile : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void load_data() { addRows("profile", { "changes", "error", "values" }); }
    void load();
    void outsideTheFile();
};

void tst_Profile::load()
{
    QFETCH(QString, changes);
    QFETCH(QString, error);
    QFETCH(QString, values);
    QTemporaryDir dir;
    DeviceProfile profile;
    QString reason = "not cleared";
    const bool loaded = loadDeviceProfile(writeFile(dir, "p.ini", profileText(changes)), &profile, &reason);
    if (!loaded) // a failed load leaves the defaults, never a part of the profile
        QVERIFY(!profile.Validated && profile.DeviceSerial.isEmpty() && profile.CommandTimeoutMs == 1000);
    QCOMPARE(loaded && checkRecoveryBudget(profile, &reason), error.isEmpty());
    QCOMPARE(reason, error);
    const QVariantMap read { { "Validated", profile.Validated }, { "DeviceSerial", profile.DeviceSerial },
        { "MinimumRpm", profile.MinimumRpm }, { "LeadC", profile.LeadC },
        { "CommandTimeoutMs", profile.CommandTimeoutMs }, { "MaximumSampleAgeMs", profile.MaximumSampleAgeMs },
        { "LeaseMs", profile.LeaseMs }, { "MaximumFeedbackAgeMs", profile.MaximumFeedbackAgeMs } };
    for (const QString& value : values.split(' ', Qt::SkipEmptyParts))
        QCOMPARE(value.section('=', 0, 0) + '=' + read.value(value.section('=', 0, 0)).toString(), value);
}

void tst_Profile::outsideTheFile()
{
    QString error;
    QVERIFY(!loadDeviceProfile("", nullptr, &error));
    QCOMPARE(error, "Null device profile output");
    DeviceProfile profile;
    QVERIFY(!loadDeviceProfile("", &profile, &error));
    QCOMPARE(error, "Cannot read thermal configuration: ");
    // What the reader's trimming never hands over, the rules still refuse.
    for (auto field :
        { &DeviceProfile::DeviceSerial, &DeviceProfile::BackendProgram, &DeviceProfile::RpmReadPattern }) {
        profile = loadedProfile("");
        profile.*field = field == &DeviceProfile::DeviceSerial ? " SN-0001" : " ";
        QVERIFY(!validateDeviceProfile(profile, &error));
        QCOMPARE(error, "Device identity and backend fields must be explicitly configured");
    }
}

QTEST_GUILESS_MAIN(tst_Profile)
#include "tst_profile.moc"
