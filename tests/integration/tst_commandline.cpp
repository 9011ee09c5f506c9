// The whole ostrel binary: options, exit codes and the one line on standard error.
#include "processrun.h"
#include "profilefixtures.h"

#include <QDir>
#include <QTemporaryDir>
#include <QtTest>

class tst_CommandLine : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void help();
    void refusedStart_data();
    void refusedStart();
    void rejectedCommandLine_data();
    void rejectedCommandLine();
    void simulatedRecoveryOnExampleProfile_data();
    void simulatedRecoveryOnExampleProfile();
};

void tst_CommandLine::help()
{
    // The profile named here does not exist: --help must not look at it.
    const ProcessResult run
        = runProcess(ostrelProgram(), { QStringLiteral("--help"), QStringLiteral("--profile"), QStringLiteral("/no") });
    QVERIFY(run.finished);
    QCOMPARE(run.exitStatus, QProcess::NormalExit);
    QCOMPARE(run.exitCode, 0);
    QCOMPARE(run.standardError, QByteArray());

    const QString help = QString::fromUtf8(run.standardOutput);
    const QStringList expectedInOrder = {
        QStringLiteral("-h, --help"),
        QStringLiteral("--profile <path>"),
        QStringLiteral("Validated device safety profile"),
        QStringLiteral("--socket <path>"),
        QStringLiteral("Local control socket"),
        QStringLiteral("--simulate"),
        QStringLiteral("Explicit simulation; never starts kevo"),
        QStringLiteral("--safe-once"),
        QStringLiteral("Confirm safe RPM and exit; for service recovery"),
    };
    int from = 0;
    for (const QString& item : expectedInOrder) {
        const int at = help.indexOf(item, from);
        QVERIFY2(at >= 0, qPrintable(QStringLiteral("missing or out of order: %1\n%2").arg(item, help)));
        from = at + item.size();
    }
}

void tst_CommandLine::refusedStart_data()
{
    QTest::addColumn<bool>("realBackend"); // which build of the daemon runs
    QTest::addColumn<QStringList>("arguments"); // "<dir>" stands for a fresh temporary directory
    QTest::addColumn<QByteArray>("profile"); // written to <dir>/profile.ini when not empty
    QTest::addColumn<QString>("line");

    const QStringList simulated
        = { QStringLiteral("--simulate"), QStringLiteral("--profile"), QStringLiteral("<dir>/profile.ini") };

    QTest::newRow("missing profile file") << true << QStringList { "--simulate", "--profile", "/no/such/file" }
                                          << QByteArray() << "Cannot read thermal configuration: /no/such/file";
    QTest::newRow("empty profile path") << true << QStringList { "--simulate", "--profile", "" } << QByteArray()
                                        << "Cannot read thermal configuration: ";
    QTest::newRow("default profile path") << true << QStringList { "--simulate" } << QByteArray()
                                          << "Cannot read thermal configuration: /etc/tessovara/rfu-device-profile.ini";
    QTest::newRow("malformed profile") << true << simulated << QByteArray("[RfuDeviceProfile]\nValidated\n")
                                       << "Malformed or inaccessible thermal configuration";
    QTest::newRow("malformed field") << true << simulated << ProfileIni().set("Validated", "TRUE").text()
                                     << "Expected true or false: Validated";
    QTest::newRow("value the INI reader cannot decode")
        << true << simulated << ProfileIni().set("BackendProgram", "@Variant(\\0\\0\\0\\x7f)").text()
        << "Expected a scalar text value: BackendProgram";
    QTest::newRow("unsafe profile") << true << simulated << ProfileIni().set("RpmTolerance", "1200").text()
                                    << "Invalid RPM bounds, step, tolerance or spin-up speed";
    QTest::newRow("unsafe profile in one-shot recovery")
        << true << (simulated + QStringList { "--safe-once" }) << ProfileIni().set("Kp", "0").text()
        << "Unsafe timeout ordering or invalid control coefficients";
    QTest::newRow("real mode without the real backend, before reading the profile")
        << false << QStringList { "--profile", "/no/such/file" } << QByteArray()
        << "Real RFU fan backend is unsupported on this platform";
    QTest::newRow("real recovery without the real backend")
        << false << QStringList { "--safe-once", "--profile", "<dir>/profile.ini" } << ProfileIni().text()
        << "Real RFU fan backend is unsupported on this platform";
    QTest::newRow("simulation without the real backend still loads the profile")
        << false << simulated << ProfileIni().set("DeviceSerial", "").text()
        << "Empty configuration field: DeviceSerial";
}

void tst_CommandLine::refusedStart()
{
    QFETCH(bool, realBackend);
    QFETCH(QStringList, arguments);
    QFETCH(QByteArray, profile);
    QFETCH(QString, line);

    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    if (!profile.isEmpty())
        writeFile(dir, QStringLiteral("profile.ini"), profile);
    for (QString& argument : arguments)
        argument.replace(QLatin1String("<dir>"), dir.path());
    arguments << QStringLiteral("--socket") << dir.filePath(QStringLiteral("run/fan.sock"));

    const ProcessResult run = runProcess(realBackend ? ostrelProgram() : ostrelWithoutRealBackendProgram(), arguments);
    QVERIFY(run.finished);
    QCOMPARE(run.exitStatus, QProcess::NormalExit);
    QCOMPARE(run.exitCode, 2);
    QCOMPARE(run.errorLines(), QStringList { line });
    QCOMPARE(run.standardOutput, QByteArray());
    // A refused start writes nothing: no runtime directory, no lock, nothing beside the profile.
    const QStringList expectedFiles = profile.isEmpty() ? QStringList() : QStringList { QStringLiteral("profile.ini") };
    QCOMPARE(QDir(dir.path()).entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden), expectedFiles);
}

void tst_CommandLine::rejectedCommandLine_data()
{
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<QString>("message"); // part of the parser's own message

    QTest::newRow("unknown option") << QStringList { "--bogus" } << "Unknown option 'bogus'";
    QTest::newRow("short alias that does not exist") << QStringList { "-p", "x" } << "Unknown option 'p'";
    QTest::newRow("missing value") << QStringList { "--profile" } << "Missing value after '--profile'";
    QTest::newRow("value given to a flag") << QStringList { "--simulate=yes" } << "Unexpected value after '--simulate'";
}

void tst_CommandLine::rejectedCommandLine()
{
    QFETCH(QStringList, arguments);
    QFETCH(QString, message);

    const ProcessResult run = runProcess(ostrelProgram(), arguments);
    QVERIFY(run.finished);
    QCOMPARE(run.exitCode, 1);
    QVERIFY2(run.standardError.contains(message.toUtf8()), run.standardError.constData());
    QCOMPARE(run.standardOutput, QByteArray());
}

void tst_CommandLine::simulatedRecoveryOnExampleProfile_data()
{
    QTest::addColumn<bool>("realBackend");
    QTest::newRow("build with the real backend") << true;
    QTest::newRow("build without the real backend") << false;
}

void tst_CommandLine::simulatedRecoveryOnExampleProfile()
{
    QFETCH(bool, realBackend);

    QTemporaryDir dir;
    const QStringList arguments
        = { QStringLiteral("--simulate"), QStringLiteral("--safe-once"), QStringLiteral("--profile"),
              exampleProfilePath(), QStringLiteral("--socket"), dir.filePath(QStringLiteral("fan.sock")) };
    const ProcessResult run = runProcess(realBackend ? ostrelProgram() : ostrelWithoutRealBackendProgram(), arguments);
    QVERIFY(run.finished);
    QCOMPARE(run.exitStatus, QProcess::NormalExit);
    QVERIFY2(run.exitCode == 0, run.standardError.constData());
    QCOMPARE(run.standardOutput, QByteArray());
}

QTEST_GUILESS_MAIN(tst_CommandLine)
#include "tst_commandline.moc"
