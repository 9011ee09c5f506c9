// Real service mode and systemd notification, against the real libsystemd and a notify peer.
// Real mode locks a fixed path under /run: these tests need root and run one at a time.
#include "notifypeer.h"
#include "processrun.h"
#include "profilefixtures.h"

#include <QTemporaryDir>
#include <QtTest>

namespace {

QStringList guardArguments(const QString& profile, const QString& socket, const QStringList& flags)
{
    return QStringList { QStringLiteral("--profile"), profile, QStringLiteral("--socket"), socket } + flags;
}

} // namespace

class tst_RealMode : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void refusedStart_data();
    void refusedStart();
    void notifications_data();
    void notifications();
    void recoveryDeadline();
    void writerLockAcrossModes();
};

void tst_RealMode::refusedStart_data()
{
    QTest::addColumn<QString>("notifySocket"); // "<peer>" for a listening peer; null for unset
    QTest::addColumn<QString>("watchdogUsec");
    QTest::addColumn<QString>("line");

    const QString unsupervised = QStringLiteral("Real guard requires a supervised systemd watchdog service");
    QTest::newRow("started outside systemd") << QString() << QString() << unsupervised;
    QTest::newRow("watchdog not enabled") << "<peer>" << QString() << unsupervised;
    QTest::newRow("empty watchdog interval") << "<peer>"
                                             << "" << unsupervised;
    QTest::newRow("empty notify socket") << ""
                                         << "1000000" << unsupervised;
    QTest::newRow("notify socket nobody listens on") << "<dir>/nobody"
                                                     << "1000000"
                                                     << "Systemd readiness notification failed";
}

void tst_RealMode::refusedStart()
{
    QFETCH(QString, notifySocket);
    QFETCH(QString, watchdogUsec);
    QFETCH(QString, line);

    QTemporaryDir dir;
    NotifyPeer peer(dir.filePath(QStringLiteral("notify")));
    QVERIFY(peer.isValid());
    notifySocket.replace(QLatin1String("<peer>"), peer.path()).replace(QLatin1String("<dir>"), dir.path());
    const QString socket = dir.filePath(QStringLiteral("fan.sock"));

    const ProcessResult run = runProcess(ostrelProgram(), guardArguments(ProfileIni().writeTo(dir), socket, {}), 15000,
        testEnvironment(
            { { QStringLiteral("NOTIFY_SOCKET"), notifySocket }, { QStringLiteral("WATCHDOG_USEC"), watchdogUsec } }));
    QVERIFY(run.finished);
    QCOMPARE(run.exitCode, 2);
    QCOMPARE(run.errorLines().last(), line);
    QVERIFY(run.errorLines().size() <= 2);
    QVERIFY(!QFileInfo::exists(socket));
    QCOMPARE(peer.receiveFor(0), QStringList());
}

void tst_RealMode::notifications_data()
{
    QTest::addColumn<QStringList>("flags");
    QTest::addColumn<bool>("notifies");

    QTest::newRow("real service") << QStringList() << true;
    QTest::newRow("simulated service") << QStringList { "--simulate" } << false;
    QTest::newRow("real one-shot recovery") << QStringList { "--safe-once" } << false;
    QTest::newRow("simulated one-shot recovery") << QStringList { "--simulate", "--safe-once" } << false;
}

void tst_RealMode::notifications()
{
    QFETCH(QStringList, flags);
    QFETCH(bool, notifies);

    QTemporaryDir dir;
    NotifyPeer peer(dir.filePath(QStringLiteral("notify")));
    QVERIFY(peer.isValid());
    const QString profile = ProfileIni().withShortTimings().writeTo(dir);
    BackgroundProcess guard(ostrelProgram(), guardArguments(profile, dir.filePath(QStringLiteral("fan.sock")), flags),
        testEnvironment({ { QStringLiteral("NOTIFY_SOCKET"), peer.path() },
            { QStringLiteral("WATCHDOG_USEC"), QStringLiteral("2000000") } }));

    const QStringList messages = peer.receiveFor(1300);
    if (!notifies) {
        QCOMPARE(messages, QStringList());
        return;
    }
    QVERIFY2(!messages.isEmpty(), "nothing arrived");
    QCOMPARE(messages.first(), QStringLiteral("READY=1"));
    QCOMPARE(messages.count(QStringLiteral("READY=1")), 1);
    // One keep-alive per 250 ms tick; the window allows for a slow machine.
    const int keepAlives = messages.count(QStringLiteral("WATCHDOG=1"));
    QVERIFY2(keepAlives >= 3 && keepAlives <= 6, qPrintable(messages.join(QLatin1Char(' '))));
    QCOMPARE(keepAlives + 1, messages.size());
    QVERIFY(guard.isRunning());
}

// Without a working fan program the safe speed is never confirmed: one-shot
// recovery ends with 2 at 5 × CommandTimeoutMs + SettlingMs (800 ms here).
void tst_RealMode::recoveryDeadline()
{
    QTemporaryDir dir;
    const QString socket = dir.filePath(QStringLiteral("fan.sock"));
    const QString profile = ProfileIni()
                                .withShortTimings()
                                .set("BackendProgram", dir.filePath(QStringLiteral("no-such-fan")))
                                .writeTo(dir);
    QElapsedTimer clock;
    clock.start();
    const ProcessResult run
        = runProcess(ostrelProgram(), guardArguments(profile, socket, { QStringLiteral("--safe-once") }), 10000);
    const qint64 elapsedMs = clock.elapsed();

    QVERIFY(run.finished);
    QCOMPARE(run.exitCode, 2);
    QCOMPARE(run.errorLines().last(), QStringLiteral("[RFU_GUARD] safety recovery could not confirm fan RPM"));
    QVERIFY2(elapsedMs >= 500 && elapsedMs < 5000, qPrintable(QString::number(elapsedMs)));
    QVERIFY(!QFileInfo::exists(socket));
}

void tst_RealMode::writerLockAcrossModes()
{
    QTemporaryDir dir;
    NotifyPeer peer(dir.filePath(QStringLiteral("notify")));
    const QString profile = ProfileIni().writeTo(dir);
    const QString socket = dir.filePath(QStringLiteral("fan.sock"));
    BackgroundProcess guard(ostrelProgram(), guardArguments(profile, socket, {}),
        testEnvironment({ { QStringLiteral("NOTIFY_SOCKET"), peer.path() },
            { QStringLiteral("WATCHDOG_USEC"), QStringLiteral("2000000") } }));
    QVERIFY(guard.waitForListening(socket));

    // Another real guard, even on another socket and in one-shot recovery, meets the one fixed lock.
    const ProcessResult second = runProcess(ostrelProgram(),
        guardArguments(profile, dir.filePath(QStringLiteral("other.sock")), { QStringLiteral("--safe-once") }));
    QCOMPARE(second.exitCode, 2);
    QCOMPARE(second.errorLines(), QStringList { QStringLiteral("Another fan writer owns the guard lock") });
    QVERIFY(guard.isRunning());
}

QTEST_GUILESS_MAIN(tst_RealMode)
#include "tst_realmode.moc"
