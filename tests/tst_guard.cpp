// The guard's timing rules, and its protocol, confirmation cycle and supervision as scenarios
// (tables/guard.txt), with the client library's view of each beside it.
#include "guard/controlrules.h"
#include "guard/guardrules.h"
#include "harness.h"
#include "metricsformat.h"

class tst_Guard : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void timingRules();
    void failedStartLeaksNothing();
    void scenario_data() { addRows("guard"); }
    void scenario();
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
    // A control request at the lease's deadline itself is in time.
    const DeviceProfile profile = loadedProfile({});
    const ControlRequest request { 1, 1, 6000, 30, {}, { true, "SN-0001", "s", 1, 30, 0 } };
    for (const qint64 now : { 1000, 1001 }) {
        ControlState state;
        state.leaseDeadline = state.lastFeedbackAt = 1000;
        QCOMPARE(checkControlRequest(request, true, profile, now, &state).isEmpty(), now == 1000);
    }
}

// A guard turned away by a live socket at its path holds nothing open once gone.
void tst_Guard::failedStartLeaksNothing()
{
    QTemporaryDir dir;
    QLocalServer live;
    QVERIFY(live.listen(dir.filePath("fan.sock")));
    const auto descriptors = [] { return QDir("/proc/self/fd").entryList(QDir::Files | QDir::System).size(); };
    const int before = descriptors();
    QString error;
    QVERIFY(!RfuFanGuardService(loadedProfile({}), true).start(live.fullServerName(), false, &error));
    QCOMPARE(error, "Something already answers on the control socket: " + live.fullServerName());
    QCOMPARE(descriptors(), before);
}

void tst_Guard::scenario()
{
    QFETCH(QString, profile);
    QFETCH(QString, steps);
    QFETCH(QString, faultReason);
    QFETCH(QString, expect);
    // The client library refuses first every message the guard refuses, with the guard's reason
    // (raw frames, sent with "send", are not messages it would write).
    static const QStringList refusals { "Unsupported protocol", "Invalid or expired control lease",
        "Control request violates safety bounds", "Device session or sample identity changed",
        "Temperature sample expired", "Unsafe stop or spin-up request" };
    // <fan>: a guard in real mode, on kevo-sim.
    if (profile.contains("<fan>") && geteuid() != 0)
        QSKIP("real mode needs root");
    auto probe = std::make_unique<RfuFanGuardServiceProbe>(
        QString(profile).replace("<fan>", kKevoSimFan), !profile.contains("<fan>"));
    QVERIFY(probe->start());
    for (const QString& step : steps.split(';'))
        if (!probe->step(step))
            return; // an unknown verb, failed by the probe
    if (expect.contains("closed=true"))
        QVERIFY(QTest::qWaitFor([&] { return probe->snapshot().value("closed").toBool(); }, 2000));
    const QJsonObject state = probe->snapshot();
    QCOMPARE(state.value("faultReason").toString(), faultReason);
    // A connection without a lease is closed for what a lease holder's fault would be latched for.
    const QString refused = faultReason.isEmpty() ? probe->unleasedClose : faultReason;
    if (!steps.contains("send "))
        QCOMPARE(probe->localRefusal, refusals.contains(refused) ? refused : "");
    QCOMPARE(RfuFanGuardServiceProbe::failedCheck(state, expect + " problems="), QString());
    // The state's metrics pass Prometheus's own check; states that differ only in their numbers once.
    const QJsonObject status = probe->status();
    const QString scrape = prometheusMetrics(&status, 1796000000, nullptr);
    static QSet<QString> checked;
    if (!checked.contains(QString(scrape).remove(QRegularExpression("[-0-9a-f.]{2,}")))) {
        checked << QString(scrape).remove(QRegularExpression("[-0-9a-f.]{2,}"));
        QProcess promtool;
        promtool.start("promtool", { "check", "metrics" });
        QVERIFY2(promtool.waitForStarted(), "promtool not found: Debian's prometheus package has it");
        promtool.write(scrape.toUtf8());
        promtool.closeWriteChannel();
        QVERIFY(promtool.waitForFinished(30000));
        QVERIFY2(promtool.exitCode() == 0, qPrintable(promtool.readAll() + scrape));
    }
    // Teardown closes the client's connection and runs no handler of the guard, so logs nothing.
    static int logged = 0;
    qInstallMessageHandler([](QtMsgType, const QMessageLogContext&, const QString&) { ++logged; });
    const auto client = std::move(probe->clients.back());
    probe.reset();
    qInstallMessageHandler(nullptr);
    QCOMPARE(std::exchange(logged, 0), 0);
    QVERIFY(QTest::qWaitFor([&] { return client->socket.state() == QLocalSocket::UnconnectedState; }, 1000));
}

QTEST_GUILESS_MAIN(tst_Guard)
#include "tst_guard.moc"
