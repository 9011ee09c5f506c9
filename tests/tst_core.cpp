// The guard's code in this process: the device safety profile's readers, rules and
// stop-time budget (tables/profile.txt); the fan backend driving kevo-sim (tables/fan.txt);
// the guard's timing rules, and its protocol, confirmation cycle and supervision as
// scenarios on a simulated fan (tables/guard.txt); and the fault soak, in real mode (root:
// its writer lock lives under /run).
#include "backend/kevofanbackend.h"
#include "guard/guardrules.h"
#include "harness.h"
#include "profile/profilevalidation.h"

#include <QDir>
#include <QRandomGenerator>
#include <QThread>
#include <QtTest>

class tst_Core : public QObject {
    Q_OBJECT

private Q_SLOTS:
    // The first failure ends the run: the rows after it would only wait out their time limits.
    void cleanup()
    {
        if (QTest::currentTestFailed())
            qFatal("stopped at the first failure");
    }
    void load_data() { addRows("profile", { "changes", "error", "values" }); }
    void load();
    // Steps: set N, refresh, force, wait (for the next signal), sleep (300 ms), stall (the
    // event loop stops past the overdue limit).
    void commands_data() { addRows("fan", { "control", "steps", "signals", "commands" }); }
    void commands();
    void timingRules();
    void scenario_data() { addRows("guard", { "profile", "steps", "reason", "expect" }); }
    void scenario();
    void soak();
};

void tst_Core::load()
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
        { "LeaseMs", profile.LeaseMs }, { "MaximumFeedbackAgeMs", profile.MaximumFeedbackAgeMs } };
    for (const QString& value : values.split(' ', Qt::SkipEmptyParts))
        QCOMPARE(value.section('=', 0, 0) + '=' + read.value(value.section('=', 0, 0)).toString(), value);
}

void tst_Core::commands()
{
    QFETCH(QString, control);
    QFETCH(QString, steps);
    QFETCH(QString, signals);
    QFETCH(QString, commands);
    QStringList fan, profile; // kevo-sim's lines; the profile's keys are capitalised
    for (const QString& entry : control.split(';', Qt::SkipEmptyParts))
        (entry.at(0).isUpper() ? profile : fan) << entry;
    QTemporaryDir dir;
    useFan(dir, fan.join(';'));
    // A second per command, so that the rows with a deliberately slow kevo-sim never time out.
    KevoFanBackend backend(loadedProfile(kShortTimings + ';' + kKevoSimFan + ";CommandTimeoutMs=1000;SettlingMs=1100;"
                               + profile.join(';')),
        false, nullptr);
    QStringList seen;
    connect(&backend, &KevoFanBackend::reading,
        [&](int rpm, int setpoint) { seen << QString("%1/%2").arg(rpm).arg(setpoint); });
    connect(&backend, &KevoFanBackend::failed,
        [&](const QString& reason) { seen << "failed: " + reason.section(": ", 0, 0); });
    for (const QString& step : steps.split(';')) {
        const int before = seen.size();
        if (step.startsWith("set "))
            backend.setTargetRpm(step.mid(4).toInt());
        else if (step == "refresh")
            backend.refresh();
        else if (step == "force")
            backend.forceSafeRpm();
        else if (step == "wait")
            QVERIFY(QTest::qWaitFor([&] { return seen.size() > before; }, 5000));
        else if (step == "sleep")
            QTest::qWait(300);
        else if (step.startsWith("phase ")) // until the monotonic clock, the timers' clock, is N ms into a second
            for (timespec now; clock_gettime(CLOCK_MONOTONIC, &now),
                 (now.tv_nsec / 1000000 + 1000 - step.mid(6).toInt()) % 1000 >= 10;)
                QThread::usleep(100);
        else { // a stall: with the event loop stopped the time limit cannot end a command
            QThread::msleep(1000 + 1000 + 50);
            seen << (backend.isCommandOverdue() ? "overdue" : "on time");
        }
    }
    QTRY_COMPARE_WITH_TIMEOUT(seen.join(' '), signals, 5000);
    QTest::qWait(150); // and nothing more
    QCOMPARE(seen.join(' '), signals);
    QFile log(dir.filePath("fan.log"));
    log.open(QIODevice::ReadOnly);
    QCOMPARE(QString(log.readAll()).replace("--set-fan-rpm ", "s").replace("--fan-rpm", "r").simplified(), commands);
}

void tst_Core::timingRules()
{
    // Each rule at its limit and one millisecond past it, as the rules state them.
    QVERIFY(!confirmationOverdue(1100, 1000, 100) && confirmationOverdue(1101, 1000, 100));
    QVERIFY(feedbackFresh(1100, 1000, 100) && !feedbackFresh(1101, 1000, 100));
    QVERIFY(deadlineReached(1000, 1000) && !deadlineReached(999, 1000));
    QVERIFY(!stopTooLong(1099, 1000, 100) && stopTooLong(1100, 1000, 100));
    QVERIFY(!confirmationOverdue(5000, -1, 100) && !feedbackFresh(5, -1, 100) && !stopTooLong(5000, -1, 100));
    QVERIFY(readingConfirms(2900, 3000, 3000, 100) && !readingConfirms(3101, 3000, 3000, 100));
}

void tst_Core::scenario()
{
    QFETCH(QString, profile);
    QFETCH(QString, steps);
    QFETCH(QString, reason);
    QFETCH(QString, expect);
    auto probe = std::make_unique<RfuFanGuardServiceProbe>(profile);
    QVERIFY(probe->start());
    for (const QString& step : steps.split(';'))
        probe->step(step);
    if (expect.contains("closed=true"))
        QVERIFY(QTest::qWaitFor([&] { return probe->snapshot().value("closed").toBool(); }, 2000));
    const QJsonObject state = probe->snapshot();
    QCOMPARE(state.value("reason").toString(), reason);
    for (const QString& check : QString(expect + " problems=").split(' ', Qt::SkipEmptyParts))
        QCOMPARE(check.section('=', 0, 0) + '=' + state.value(check.section('=', 0, 0)).toVariant().toString(), check);
    // Teardown closes the client's connection and runs no handler of the guard, so logs nothing.
    static int logged = 0;
    qInstallMessageHandler([](QtMsgType, const QMessageLogContext&, const QString&) { ++logged; });
    const auto client = std::move(probe->clients.back());
    probe.reset();
    qInstallMessageHandler(nullptr);
    QCOMPARE(std::exchange(logged, 0), 0);
    QVERIFY(QTest::qWaitFor([&] { return client->socket.state() == QLocalSocket::UnconnectedState; }, 1000));
}

// The fault soak: guards on kevo-sim with their real tick, while a client leases, steers,
// releases and vanishes at random until a fault comes, from either side. The guard must
// report it and set the safe speed; every status keeps the contract; the watchdog is fed;
// no file descriptor is left behind.
void tst_Core::soak()
{
    const int seconds = qEnvironmentVariableIntValue("OSTREL_SOAK_SECONDS");
    if (seconds <= 0)
        QSKIP("OSTREL_SOAK_SECONDS sets how long to soak (make soak)");
    // How a lease ends: steps (separated by '&'), and the fault they latch.
    const QStringList endings { "release&run", "drop&join",
        "fan fault=fail;faults-apply-to=read|Fan command exited unsuccessfully",
        "fan fault=hang;faults-apply-to=read|Fan command timed out; output unconfirmed",
        "fan fault=garbage|Fan RPM response is invalid", "fan fault=oversize-hang|Fan output exceeds limit",
        R"(send "[]\n"|Malformed IPC frame)", R"(msg {"version":1}|Invalid or expired control lease)",
        "run|Control or telemetry deadline expired" };
    const quint32 seed = QRandomGenerator::global()->generate();
    QRandomGenerator random(seed);
    QElapsedTimer clock;
    qputenv("WATCHDOG_USEC", "1000000");
    for (clock.start(); clock.elapsed() < seconds * 1000;) {
        const uint files = QDir("/proc/self/fd").count();
        {
            // Settling with room for kevo-sim starts on a loaded machine: a late confirmation
            // is a fault of its own, and not one this soak injects.
            RfuFanGuardServiceProbe probe(kKevoSimFan + ";SettlingMs=2500", false);
            NotifyPeer peer(probe.dir().filePath("notify"));
            qputenv("NOTIFY_SOCKET", probe.dir().filePath("notify").toUtf8());
            delete new NotifyPeer(probe.dir().filePath("fan.sock")); // a socket file left behind
            const qint64 born = clock.elapsed();
            QVERIFY(probe.start());
            probe.step("live");
            QString error; // no second fan writer, whatever the mode
            QVERIFY(!RfuFanGuardService(loadedProfile(""), false).start(probe.dir().filePath("s"), true, &error));
            QCOMPARE(error, "Another fan writer owns the guard lock");
            for (QStringList ending; ending.size() < 2;) {
                QTRY_VERIFY(probe.snapshot().value("ready").toBool());
                probe.step("hello");
                for (int n = 0; n < 4; ++n, QTest::qWait(random.bounded(400)))
                    probe.step(QString("ctl rpm=%1").arg(1200 + 100 * random.bounded(49)));
                ending = endings.at(random.bounded(endings.size())).split('|');
                for (const QString& step : ending[0].split('&'))
                    probe.step(step);
                QTRY_COMPARE_WITH_TIMEOUT(probe.snapshot().value("reason").toString(), ending.value(1), 6000);
                QVERIFY2(probe.snapshot().value("problems") == "", qPrintable(QString("seed %1").arg(seed)));
            }
            QTRY_COMPARE(fanSetpoint(probe.dir()), "6000");
            QVERIFY2(peer.count("WATCHDOG=1") >= (clock.elapsed() - born) / 500, "the watchdog starved");
        }
        QTRY_VERIFY2(QDir("/proc/self/fd").count() <= files, "file descriptors were left behind");
    }
    qunsetenv("NOTIFY_SOCKET");
}

QTEST_GUILESS_MAIN(tst_Core)
#include "tst_core.moc"
