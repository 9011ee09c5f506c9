// ostrelctl against real guard processes: status codes, watch, profile checks and the demo client.
#include "processrun.h"
#include "profilefixtures.h"
#include "testclient.h"

#include <QFile>
#include <QJsonDocument>
#include <QTemporaryDir>
#include <QtTest>

namespace {

QStringList simulatedGuard(const QString& socket)
{
    return { QStringLiteral("--simulate"), QStringLiteral("--profile"), exampleProfilePath(),
        QStringLiteral("--socket"), socket };
}

QStringList csvRows(const QString& path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return {};
    QStringList rows = QString::fromUtf8(file.readAll()).split(QLatin1Char('\n'));
    rows.removeAll(QString());
    return rows;
}

} // namespace

class tst_Ostrelctl : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void status_data();
    void status();
    void watchUntilTheGuardGoes();
    void checkProfileAgreesWithTheDaemon_data();
    void checkProfileAgreesWithTheDaemon();
    void demo();
};

void tst_Ostrelctl::status_data()
{
    QTest::addColumn<QString>("guard"); // "none", "ready" or "faulted"
    QTest::addColumn<QStringList>("flags");
    QTest::addColumn<int>("exitCode");
    QTest::addColumn<QString>("output"); // a line of standard output, or the one line of standard error

    QTest::newRow("no guard") << "none" << QStringList() << 2 << "ostrelctl: no guard listens at <socket>";
    QTest::newRow("ready guard") << "ready" << QStringList() << 0 << "guard:      ready (simulation)";
    QTest::newRow("ready guard as JSON") << "ready" << QStringList { "--json" } << 0 << "";
    QTest::newRow("faulted guard") << "faulted" << QStringList() << 3
                                   << "guard:      FAULT: Malformed IPC frame (simulation)";
}

void tst_Ostrelctl::status()
{
    QFETCH(QString, guard);
    QFETCH(QStringList, flags);
    QFETCH(int, exitCode);
    QFETCH(QString, output);

    QTemporaryDir dir;
    const QString socket = dir.filePath(QStringLiteral("fan.sock"));
    std::unique_ptr<BackgroundProcess> daemon;
    if (guard != QLatin1String("none")) {
        daemon = std::make_unique<BackgroundProcess>(ostrelProgram(), simulatedGuard(socket));
        QVERIFY(daemon->waitForListening(socket));
        TestClient client;
        QVERIFY(client.join(socket));
        QVERIFY(client.waitForReady());
        if (guard == QLatin1String("faulted")) {
            client.send("garbage\n");
            QVERIFY(client.waitForDisconnected());
        }
    }

    const ProcessResult run = runProcess(ostrelctlProgram(), QStringList { "status", "--socket", socket } + flags);
    QCOMPARE(run.exitCode, exitCode);
    output.replace(QLatin1String("<socket>"), socket);
    if (exitCode == 2) {
        QCOMPARE(run.errorLines(), QStringList { output });
        QVERIFY(run.standardOutput.isEmpty());
    } else if (flags.contains(QStringLiteral("--json"))) {
        QCOMPARE(statusShapeProblem(QJsonDocument::fromJson(run.standardOutput).object(), true), QString());
    } else {
        QVERIFY2(QString::fromUtf8(run.standardOutput).split('\n').contains(output), run.standardOutput.constData());
    }
}

void tst_Ostrelctl::watchUntilTheGuardGoes()
{
    QTemporaryDir dir;
    const QString socket = dir.filePath(QStringLiteral("fan.sock"));
    const QString csv = dir.filePath(QStringLiteral("watch.csv"));
    BackgroundProcess daemon(ostrelProgram(), simulatedGuard(socket));
    QVERIFY(daemon.waitForListening(socket));
    BackgroundProcess watch(ostrelctlProgram(), { "watch", "--socket", socket, "--csv", csv });

    // The first status at once, then one per fan reading, about every second.
    QTRY_VERIFY_WITH_TIMEOUT(csvRows(csv).size() >= 3, 5000);
    const QStringList rows = csvRows(csv);
    QCOMPARE(rows.first(), QStringLiteral("time_s,requested_rpm,rpm,rpm_valid,age_ms,ready,fault,reason"));
    QCOMPARE(rows.at(1).split(',').mid(1),
        QStringList({ "6000", "6000", "1" }) + rows.at(1).split(',').mid(4, 1) + QStringList({ "1", "0", "" }));

    daemon.kill();
    const ProcessResult run = watch.waitForExit(5000);
    QVERIFY(run.finished);
    QCOMPARE(run.exitCode, 2);
    QCOMPARE(run.errorLines(), QStringList { "ostrelctl: the guard closed the connection" });
}

void tst_Ostrelctl::checkProfileAgreesWithTheDaemon_data()
{
    QTest::addColumn<QByteArray>("profile"); // empty: no file at all

    const ProfileIni slowFan
        = ProfileIni().set("LeaseMs", "5000").set("SpinUpMs", "1000").set("CommandTimeoutMs", "4000");
    QTest::newRow("example profile") << ProfileIni().text();
    QTest::newRow("short test timings") << ProfileIni().withShortTimings().text();
    QTest::newRow("recovery at the stop-time budget") << ProfileIni(slowFan).set("SettlingMs", "5000").text();
    QTest::newRow("recovery over the stop-time budget") << ProfileIni(slowFan).set("SettlingMs", "5001").text();
    QTest::newRow("malformed field") << ProfileIni().set("Validated", "TRUE").text();
    QTest::newRow("unsafe rule") << ProfileIni().set("RpmTolerance", "1200").text();
    QTest::newRow("malformed file") << QByteArray("[RfuDeviceProfile]\nValidated\n");
    QTest::newRow("value the INI reader cannot decode")
        << ProfileIni().set("BackendProgram", "@Variant(\\0\\0\\0\\x7f)").text();
    QTest::newRow("missing file") << QByteArray();
}

void tst_Ostrelctl::checkProfileAgreesWithTheDaemon()
{
    QFETCH(QByteArray, profile);

    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("profile.ini"));
    if (!profile.isEmpty())
        writeFile(dir, QStringLiteral("profile.ini"), profile);

    const ProcessResult daemon = runProcess(ostrelProgram(),
        { "--simulate", "--safe-once", "--profile", path, "--socket", dir.filePath(QStringLiteral("fan.sock")) });
    const ProcessResult check = runProcess(ostrelctlProgram(), { "check-profile", path });
    QCOMPARE(check.exitCode, daemon.exitCode);
    if (daemon.exitCode == 0) {
        QCOMPARE(check.standardOutput, QByteArray("ok\n"));
        QVERIFY(check.standardError.isEmpty());
    } else {
        QCOMPARE(check.errorLines(), daemon.errorLines());
        QVERIFY(check.standardOutput.isEmpty());
    }
}

// The demo client leases, stops the fan while the unit is cold, spins it up
// and regulates, all without a fault.
void tst_Ostrelctl::demo()
{
    QTemporaryDir dir;
    const QString socket = dir.filePath(QStringLiteral("fan.sock"));
    const QString csv = dir.filePath(QStringLiteral("demo.csv"));
    BackgroundProcess daemon(ostrelProgram(), simulatedGuard(socket));
    QVERIFY(daemon.waitForListening(socket));

    const ProcessResult run = runProcess(ostrelctlProgram(),
        { "demo", "--socket", socket, "--profile", exampleProfilePath(), "--seconds", "12", "--csv", csv }, 30000);
    QVERIFY(run.finished);
    QVERIFY2(run.exitCode == 0, run.standardError.constData());

    QStringList phases;
    QList<int> requested;
    for (const QString& row : csvRows(csv).mid(1)) {
        const QStringList fields = row.split(QLatin1Char(','));
        QCOMPARE(fields.value(7), QStringLiteral("0")); // no fault, ever
        requested << fields.value(2).toInt();
        if (phases.isEmpty() || phases.last() != fields.value(9))
            phases << fields.value(9);
    }
    QCOMPARE(phases, (QStringList { "hello", "warm-up", "spin-up", "regulate" }));
    QVERIFY(requested.contains(0));
    QVERIFY(requested.contains(3000));
    QCOMPARE(requested.last(), 6000); // released: back to the safe speed
    const QStringList guardLog = daemon.kill().errorLines();
    QCOMPARE(guardLog.filter(QStringLiteral("safety requested")),
        QStringList { "[RFU_GUARD] safety requested: Control released" });
}

QTEST_GUILESS_MAIN(tst_Ostrelctl)
#include "tst_ostrelctl.moc"
