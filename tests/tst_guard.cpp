// The guard in-process: its timing rules; the protocol, the confirmation cycle and
// supervision as scenarios on a simulated fan (tables/guard.txt); real mode's writer lock
// and notifications to the service manager (root: its lock lives under /run).
#include "guard/guardrules.h"
#include "harness.h"

#include <QtTest>

class tst_Guard : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void timingRules();
    void scenario_data() { addRows("guard", { "profile", "steps", "reason", "expect" }); }
    void scenario();
    void realModeNotifies();
    void teardownClosesTheClientQuietly();
};

void tst_Guard::timingRules()
{
    // Each rule at its limit and one millisecond past it, as the rules state them.
    QVERIFY(!confirmationOverdue(1100, 1000, 100) && confirmationOverdue(1101, 1000, 100));
    QVERIFY(feedbackFresh(1100, 1000, 100) && !feedbackFresh(1101, 1000, 100));
    QVERIFY(deadlineReached(1000, 1000) && !deadlineReached(999, 1000));
    QVERIFY(!stopTooLong(1099, 1000, 100) && stopTooLong(1100, 1000, 100));
    QVERIFY(!confirmationOverdue(5000, -1, 100) && !feedbackFresh(5, -1, 100) && !stopTooLong(5000, -1, 100));
    QVERIFY(readingConfirms(2900, 3000, 3000, 100) && !readingConfirms(3101, 3000, 3000, 100));
}

void tst_Guard::scenario()
{
    QFETCH(QString, profile);
    QFETCH(QString, steps);
    QFETCH(QString, reason);
    QFETCH(QString, expect);
    RfuFanGuardServiceProbe probe(profile);
    QVERIFY(probe.start());
    for (const QString& step : steps.split(';'))
        probe.step(step);
    if (expect.contains("closed=true"))
        QVERIFY(QTest::qWaitFor([&] { return probe.snapshot().value("closed").toBool(); }, 2000));
    const QJsonObject state = probe.snapshot();
    QCOMPARE(state.value("reason").toString(), reason);
    for (const QString& check : QString(expect + " problems=").split(' ', Qt::SkipEmptyParts))
        QCOMPARE(check.section('=', 0, 0) + '=' + state.value(check.section('=', 0, 0)).toVariant().toString(), check);
}

void tst_Guard::realModeNotifies()
{
    QTemporaryDir dir;
    NotifyPeer peer(dir.filePath("notify"));
    qputenv("NOTIFY_SOCKET", dir.filePath("notify").toUtf8());
    qputenv("WATCHDOG_USEC", "1000000");
    useFan(dir);
    RfuFanGuardServiceProbe probe("BackendProgram=" KEVO_SIM_PROGRAM, false);
    writeFile(probe.dir, "fan.sock", "left behind by a crashed guard");
    QVERIFY(probe.start());
    QCOMPARE(peer.count("READY=1"), 1);
    probe.step("tick");
    QCOMPARE(peer.count("WATCHDOG=1"), 1);
    probe.step("fail"); // faults notwithstanding
    probe.step("tick");
    QCOMPARE(peer.count("WATCHDOG=1"), 2);
    RfuFanGuardService recovery(loadedProfile(""), false);
    QString error; // no second fan writer, whatever the mode
    QVERIFY(!recovery.start(dir.filePath("fan.sock"), true, &error));
    QCOMPARE(error, "Another fan writer owns the guard lock");
    qunsetenv("NOTIFY_SOCKET");
}

void tst_Guard::teardownClosesTheClientQuietly()
{
    auto probe = std::make_unique<RfuFanGuardServiceProbe>("");
    QVERIFY(probe->start());
    probe->step("hello");
    static int logged = 0; // no safety request for the lease that goes with the client
    qInstallMessageHandler([](QtMsgType, const QMessageLogContext&, const QString&) { ++logged; });
    auto client = std::move(probe->clients.back());
    probe.reset();
    qInstallMessageHandler(nullptr);
    QCOMPARE(logged, 0);
    QVERIFY(QTest::qWaitFor([&] { return client->socket.state() == QLocalSocket::UnconnectedState; }, 1000));
}

QTEST_GUILESS_MAIN(tst_Guard)
#include "tst_guard.moc"
