// The device safety profile: its reader, its rules, the stop-time budget and the steady-state
// warnings (tables/profile.txt).
#include "guard/steadystate.h"
#include "harness.h"
#include "profile/profilevalidation.h"

class tst_Profile : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void load_data() { addRows("profile"); }
    void load();
};

void tst_Profile::load()
{
    QFETCH(QString, changes);
    QFETCH(QString, error);
    QFETCH(QString, values);
    QTemporaryDir dir;
    DeviceProfile profile;
    QString reason;
    QCOMPARE((loadDeviceProfile({}, nullptr, &reason), reason), "Null device profile output");
    const bool loaded = loadDeviceProfile(writeFile(dir, "p.ini", profileText(changes)), &profile, &reason);
    if (!loaded) // a failed load leaves the defaults, never a part of the profile
        QVERIFY(!profile.Validated && profile.DeviceSerial.isEmpty() && profile.CommandTimeoutMs == 1000);
    QCOMPARE(loaded && checkRecoveryBudget(profile, &reason), error.isEmpty());
    QCOMPARE(reason, error);
    const QVariantMap read { { "Validated", profile.Validated }, { "DeviceSerial", profile.DeviceSerial },
        { "MinimumRpm", profile.MinimumRpm }, { "LeadC", profile.LeadC },
        { "CommandTimeoutMs", profile.CommandTimeoutMs }, { "MaximumSampleAgeMs", profile.MaximumSampleAgeMs },
        { "LeaseMs", profile.LeaseMs }, { "MaximumFeedbackAgeMs", profile.MaximumFeedbackAgeMs },
        { "warnings", steadyStateWarnings(profile).replaceInStrings(QRegularExpression(" .*"), "").join(',') } };
    for (const QString& value : values.split(' ', Qt::SkipEmptyParts))
        QCOMPARE(value.section('=', 0, 0) + '=' + read.value(value.section('=', 0, 0)).toString(), value);
}

QTEST_GUILESS_MAIN(tst_Profile)
#include "tst_profile.moc"
