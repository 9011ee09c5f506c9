// Loading a whole profile file: file-level failures, reading order and defaults.
#include "profile/deviceprofile.h"

#include "processrun.h"
#include "profilefixtures.h"

#include <QTemporaryDir>
#include <QtTest>
#include <cmath>

class tst_ProfileLoad : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void refusedFiles_data();
    void refusedFiles();
    void firstFailureInReadingOrder_data();
    void firstFailureInReadingOrder();
    void nullOutput();
    void optionalTimingsTakeDefaults();
    void exampleIsThePassingProfile();
};

void tst_ProfileLoad::refusedFiles_data()
{
    QTest::addColumn<QString>("name"); // file to write into the temporary directory; empty: use path as given
    QTest::addColumn<QByteArray>("content");
    QTest::addColumn<QString>("path"); // "<dir>" stands for the temporary directory
    QTest::addColumn<QString>("error");

    const QString malformed = QStringLiteral("Malformed or inaccessible thermal configuration");
    QTest::newRow("empty path") << "" << QByteArray() << ""
                                << "Cannot read thermal configuration: ";
    QTest::newRow("missing file") << "" << QByteArray() << "<dir>/absent.ini"
                                  << "Cannot read thermal configuration: <dir>/absent.ini";
    QTest::newRow("directory") << "" << QByteArray() << "<dir>"
                               << "Cannot read thermal configuration: <dir>";
    QTest::newRow("key without equals sign")
        << "p.ini" << QByteArray("[RfuDeviceProfile]\nValidated\n") << "<dir>/p.ini" << malformed;
    QTest::newRow("hash comment") << "p.ini" << ProfileIni().text() + "# not an INI comment\n"
                                  << "<dir>/p.ini" << malformed;
    QTest::newRow("unclosed section") << "p.ini" << QByteArray("[RfuDeviceProfile\nValidated=true\n") << "<dir>/p.ini"
                                      << malformed;
    QTest::newRow("keys outside the section are missing")
        << "p.ini" << ProfileIni().text().replace("[RfuDeviceProfile]", "[Other]") << "<dir>/p.ini"
        << "Missing configuration field: Validated";
    QTest::newRow("empty file") << "p.ini" << QByteArray() << "<dir>/p.ini"
                                << "Missing configuration field: Validated";
}

void tst_ProfileLoad::refusedFiles()
{
    QFETCH(QString, name);
    QFETCH(QByteArray, content);
    QFETCH(QString, path);
    QFETCH(QString, error);

    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    if (!name.isEmpty())
        writeFile(dir, name, content);
    path.replace(QLatin1String("<dir>"), dir.path());
    error.replace(QLatin1String("<dir>"), dir.path());

    DeviceProfile out = passingDeviceProfile();
    QString reason = QStringLiteral("stale reason");
    QVERIFY(!loadDeviceProfile(path, &out, &reason));
    QCOMPARE(reason, error);
    // A failed load leaves a default record, never a partly read one.
    QCOMPARE(profileDifferences(out, DeviceProfile()), QStringList());
}

void tst_ProfileLoad::firstFailureInReadingOrder_data()
{
    QTest::addColumn<QByteArray>("content");
    QTest::addColumn<QString>("error");

    QTest::newRow("booleans before strings")
        << ProfileIni().set("ExclusiveControlConfirmed", "yes").remove("DeviceSerial").text()
        << "Expected true or false: ExclusiveControlConfirmed";
    QTest::newRow("strings before integers") << ProfileIni().set("RpmReadPattern", "").set("MinimumRpm", "x").text()
                                             << "Empty configuration field: RpmReadPattern";
    QTest::newRow("optional integers before the last required one")
        << ProfileIni().set("LeaseMs", "1.5").set("StableHoldMs", "x").text() << "Expected a bounded integer: LeaseMs";
    QTest::newRow("integers before doubles") << ProfileIni().remove("StableHoldMs").set("MinimumTargetC", "x").text()
                                             << "Missing configuration field: StableHoldMs";
    QTest::newRow("doubles in their own order")
        << ProfileIni().set("StableSlopeCPerSecond", "x").set("RecoveryTemperatureC", "nan").text()
        << "Expected a finite decimal number: RecoveryTemperatureC";
    QTest::newRow("readers before validation")
        << ProfileIni().set("Validated", "false").set("Kp", "inf").text() << "Expected a finite decimal number: Kp";
    QTest::newRow("validation after reading") << ProfileIni().set("Validated", "false").text()
                                              << "Device validation, sample freshness and exclusive control must all "
                                                 "be confirmed";
    QTest::newRow("reader accepts what validation then refuses")
        << ProfileIni().set("LeadC", "-1e-3").text() << "Invalid temperature range, recovery margin or lead margin";
}

void tst_ProfileLoad::firstFailureInReadingOrder()
{
    QFETCH(QByteArray, content);
    QFETCH(QString, error);

    QTemporaryDir dir;
    DeviceProfile out;
    QString reason;
    QVERIFY(!loadDeviceProfile(writeFile(dir, QStringLiteral("p.ini"), content), &out, &reason));
    QCOMPARE(reason, error);
}

void tst_ProfileLoad::nullOutput()
{
    QTemporaryDir dir;
    QString reason;
    QVERIFY(!loadDeviceProfile(ProfileIni().writeTo(dir), nullptr, &reason));
    QCOMPARE(reason, QStringLiteral("Null device profile output"));
}

void tst_ProfileLoad::optionalTimingsTakeDefaults()
{
    QTemporaryDir dir;
    const QString path = ProfileIni()
                             .set("CommandTimeoutMs", "900")
                             .remove("MaximumSampleAgeMs")
                             .remove("LeaseMs")
                             .remove("MaximumFeedbackAgeMs")
                             .writeTo(dir);
    DeviceProfile out;
    QString reason = QStringLiteral("stale reason");
    QVERIFY2(loadDeviceProfile(path, &out, &reason), qPrintable(reason));
    QVERIFY(reason.isEmpty());
    QCOMPARE(out.CommandTimeoutMs, 900);
    QCOMPARE(out.MaximumSampleAgeMs, 6000);
    QCOMPARE(out.LeaseMs, 3000);
    QCOMPARE(out.MaximumFeedbackAgeMs, 3000);
}

void tst_ProfileLoad::exampleIsThePassingProfile()
{
    DeviceProfile example;
    QString reason;
    QVERIFY2(loadDeviceProfile(exampleProfilePath(), &example, &reason), qPrintable(reason));
    QCOMPARE(profileDifferences(example, passingDeviceProfile()), QStringList());
}

QTEST_GUILESS_MAIN(tst_ProfileLoad)
#include "tst_profileload.moc"
