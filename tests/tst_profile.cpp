// The device safety profile: its reader, its rules, the stop-time budget and the steady-state
// warnings (tables/profile.txt).
#include "guard/steadystate.h"
#include "harness.h"
#include "profile/profileschema.h"
#include "profile/profilevalidation.h"

class tst_Profile : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void load_data() { addRows("profile"); }
    void load();
    void keyFindings_data();
    void keyFindings();
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

// What the reader passes over in silence, on the lines an editor shows.
void tst_Profile::keyFindings_data()
{
    QTest::addColumn<QByteArray>("text");
    QTest::addColumn<QString>("findings");
    QTest::newRow("a key before the first section, and a section left open to the line's end")
        << QByteArray("LeaseMs=1\n[RfuDeviceProfile\nLeaseMs=2\nLeaseMs=3\n")
        << "line 1: LeaseMs: outside the group [RfuDeviceProfile], not read\n"
           "line 4: LeaseMs: repeats line 3, the guard uses line 4";
    QTest::newRow("CR LF and a lone CR each end one line") << QByteArray("[RfuDeviceProfile]\r\nLeaseMs=1\rLeaseMs=2\n")
                                                           << "line 3: LeaseMs: repeats line 2, the guard uses line 3";
    QTest::newRow("a backslash takes in CR LF, not what follows another escape; %U names a character")
        << QByteArray("[RfuDeviceProfile]\nLeaseMs=1\\\r\nLeaseMs=2\nSpinUpMs=1\\x\nSpinUpMs\t=2\n%U004ceaseMs=3\n"
                      "RpmStep=1\\\n\nRpmStep=2\nStableHoldMs=1\\x\rStableHoldMs=2\nA%4=1\n")
        << "line 5: SpinUpMs: repeats line 4, the guard uses line 5\n"
           "line 6: %U004ceaseMs: percent-escaped key name, read as LeaseMs\n"
           "line 6: %U004ceaseMs: repeats line 2, the guard uses line 6\nline 9: RpmStep: repeats line 7, the guard "
           "uses "
           "line 9\nline 11: StableHoldMs: repeats line 10, the guard uses line 11\n"
           "line 12: A%4: percent-escaped key name, read as A%4\nline 12: A%4: unknown key";
}

void tst_Profile::keyFindings()
{
    QFETCH(QByteArray, text);
    QFETCH(QString, findings);
    QTemporaryDir dir;
    QCOMPARE(profileKeyFindings(writeFile(dir, "p.ini", text)).join('\n'), findings);
}

QTEST_GUILESS_MAIN(tst_Profile)
#include "tst_profile.moc"
