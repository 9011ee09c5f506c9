// The whole guard in real mode driving kevo-sim: confirmation, fan faults, retry and recovery.
// Real mode locks a fixed path under /run: these tests need root and run one at a time.
#include "kevosimfan.h"
#include "notifypeer.h"
#include "processrun.h"
#include "profilefixtures.h"
#include "testclient.h"

#include <QTemporaryDir>
#include <QtTest>

namespace {

QString writeProfile(const QTemporaryDir& dir) { return ProfileIni().withKevoSimFan().writeTo(dir); }

QStringList guardArguments(const QTemporaryDir& dir, const QStringList& flags = {})
{
    return QStringList { QStringLiteral("--profile"), writeProfile(dir), QStringLiteral("--socket"),
        dir.filePath(QStringLiteral("fan.sock")) }
    + flags;
}

const QString kSafeConfirmed = QStringLiteral("[RFU_GUARD] RPM confirmed; requested= 6000 actual= 6000");

} // namespace

class tst_RealFan : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void serviceConfirmsAndSurvivesFanFaults();
    void notReadyWhileTheFanSpinsUp();
    void recovery_data();
    void recovery();
};

void tst_RealFan::serviceConfirmsAndSurvivesFanFaults()
{
    QTemporaryDir dir;
    KevoSimFan fan;
    NotifyPeer peer(dir.filePath(QStringLiteral("notify")));
    QVERIFY(peer.isValid());
    auto environment = fan.environment();
    environment.insert(QStringLiteral("NOTIFY_SOCKET"), peer.path());
    environment.insert(QStringLiteral("WATCHDOG_USEC"), QStringLiteral("2000000"));
    BackgroundProcess guard(ostrelProgram(), guardArguments(dir), testEnvironment(environment));

    QVERIFY(guard.waitForErrorOutput(kSafeConfirmed));
    QCOMPARE(fan.commandLog().mid(0, 2), (QStringList { "--set-fan-rpm 6000", "--fan-rpm" }));
    TestClient client;
    QVERIFY(client.join(dir.filePath(QStringLiteral("fan.sock"))));
    QCOMPARE(statusShapeProblem(client.lastStatus(), false), QString());
    QVERIFY(client.waitForReady());
    const QStringList beforeFault = peer.receiveFor(600);
    QCOMPARE(beforeFault.value(0), QStringLiteral("READY=1"));
    QVERIFY2(beforeFault.count(QStringLiteral("WATCHDOG=1")) >= 2, qPrintable(beforeFault.join(' ')));

    // The next poll fails: the fault is latched and the single retry runs; it
    // fails too, and recovery is exhausted.
    fan.setControl("lag-ms=0\nfault=fail\n");
    QVERIFY(guard.waitForErrorOutput(QStringLiteral("[RFU_GUARD] safe output unconfirmed; retry exhausted"), 5000));
    QVERIFY(client.waitForStatus([](const QJsonObject& s) {
        return isFaultStatus(s, QStringLiteral("Fan command exited unsuccessfully")) && s.value("ageMs").toInt() == -1;
    }));
    // The guard keeps running and feeding the watchdog: no command is overdue.
    const QStringList afterFault = peer.receiveFor(600);
    QVERIFY2(afterFault.count(QStringLiteral("WATCHDOG=1")) >= 2, qPrintable(afterFault.join(' ')));
    QVERIFY(guard.isRunning());

    const QStringList lines = guard.kill().errorLines();
    const QString failure = QStringLiteral("[RFU_GUARD] safety requested: Fan command exited unsuccessfully");
    QCOMPARE(lines.count(failure), 2);
    QVERIFY(lines.indexOf(kSafeConfirmed) < lines.indexOf(failure));
    QCOMPARE(lines.last(), QStringLiteral("[RFU_GUARD] safe output unconfirmed; retry exhausted"));
    // After exhaustion the fan is no longer polled.
    const int commands = fan.commandLog().size();
    QVERIFY(fan.commandLog().mid(commands - 2)
        == (QStringList { "--fan-rpm", "--set-fan-rpm 6000" })); // failed poll, failed safe retry
}

// A fan that has not reached the safe speed yet: the guard is not ready, and
// ostrelctl status says so with its own exit code.
void tst_RealFan::notReadyWhileTheFanSpinsUp()
{
    QTemporaryDir dir;
    KevoSimFan fan;
    fan.setControl("lag-ms=100000\n");
    NotifyPeer peer(dir.filePath(QStringLiteral("notify")));
    auto environment = fan.environment();
    environment.insert(QStringLiteral("NOTIFY_SOCKET"), peer.path());
    environment.insert(QStringLiteral("WATCHDOG_USEC"), QStringLiteral("2000000"));
    const QString socket = dir.filePath(QStringLiteral("fan.sock"));
    const QString profile = ProfileIni().set("BackendProgram", kevoSimProgram()).writeTo(dir);
    BackgroundProcess guard(
        ostrelProgram(), { "--profile", profile, "--socket", socket }, testEnvironment(environment));
    QVERIFY(guard.waitForListening(socket));

    const ProcessResult status = runProcess(ostrelctlProgram(), { "status", "--socket", socket });
    QCOMPARE(status.exitCode, 1);
    QVERIFY2(status.standardOutput.startsWith("guard:      not ready\n"), status.standardOutput.constData());
}

void tst_RealFan::recovery_data()
{
    QTest::addColumn<QByteArray>("control");
    QTest::addColumn<int>("exitCode");
    QTest::addColumn<QString>("lastLine"); // its start

    const QString confirmed = QStringLiteral("[RFU_GUARD] RPM confirmed; requested= 6000 actual= ");
    QTest::newRow("fan confirms the safe speed") << QByteArray("lag-ms=0\n") << 0 << confirmed;
    QTest::newRow("fan spins up slowly but in time") << QByteArray("lag-ms=30\n") << 0 << confirmed;
    QTest::newRow("fan runs off its setpoint") << QByteArray("lag-ms=0\nfault=offset\noffset-rpm=-1000\n") << 2
                                               << "[RFU_GUARD] safety recovery could not confirm fan RPM";
    QTest::newRow("fan program hangs") << QByteArray("fault=hang\n") << 2
                                       << "[RFU_GUARD] safety recovery could not confirm fan RPM";
}

void tst_RealFan::recovery()
{
    QFETCH(QByteArray, control);
    QFETCH(int, exitCode);
    QFETCH(QString, lastLine);

    QTemporaryDir dir;
    KevoSimFan fan;
    fan.setControl(control);
    const ProcessResult run = runProcess(ostrelProgram(), guardArguments(dir, { QStringLiteral("--safe-once") }), 10000,
        testEnvironment(fan.environment()));
    QVERIFY(run.finished);
    QCOMPARE(run.exitCode, exitCode);
    const QStringList lines = run.errorLines();
    QVERIFY2(lines.last().startsWith(lastLine), qPrintable(lines.join('\n')));
    // A fan that confirms in time raises no safety request on the way.
    QCOMPARE(lines.filter(QStringLiteral("safety requested")).isEmpty(), exitCode == 0);
}

QTEST_GUILESS_MAIN(tst_RealFan)
#include "tst_realfan.moc"
