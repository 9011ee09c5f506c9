// The fault soak, in real mode on kevo-sim: root only (its writer lock lives under /run).
#include "harness.h"

constexpr int kSlow = OSTREL_SLOW; // 4 under the sanitizers: kevo-sim starts and the guard's ticks take longer

class tst_Soak : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void soak();
};

// The fault soak: guards on kevo-sim with their real tick and deadlines of a few hundred ms,
// while a client leases, steers and ends each lease one of the ways below, at random. Every
// ending must bring the fan to the safe speed, a fault with its reason, each in time; every
// status keeps the contract, also for the status socket's readers attached meanwhile; the watchdog is fed; no file
// descriptor or memory is left behind. A latched fault ends a guard's life, so every fault is injected into a guard of
// its own.
void tst_Soak::soak()
{
    const int seconds = qEnvironmentVariableIntValue("OSTREL_SOAK_SECONDS");
    if (seconds <= 0)
        QSKIP("OSTREL_SOAK_SECONDS sets how long to soak (make soak)");
    struct Ending {
        QString kind, steps, reason; // steps separated by '&'; <rpm>: a speed the fan is not set to
    };
    const QList<Ending> endings { { "release", "release", "" }, { "vanishing lease holder", "drop&join", "" },
        { "fan failure", "fan fault=fail;faults-apply-to=read&ctl rpm=<rpm>", "Fan command exited unsuccessfully" },
        { "hang", "fan fault=hang;faults-apply-to=read&ctl rpm=<rpm>", "Fan command timed out; output unconfirmed" },
        { "babbling", "fan fault=garbage&ctl rpm=<rpm>", "Fan RPM response is invalid" },
        { "babbling", "fan fault=oversize-hang&ctl rpm=<rpm>", "Fan output exceeds limit" },
        { "client violation", R"(send "[]\n")", "Malformed IPC frame" },
        { "client violation", R"(msg {"version":1})", "Invalid or expired control lease" },
        { "lapse", "", "Control or telemetry deadline expired" } };
    // Long enough for the fan program's starts on a loaded machine, and for a hung command to be
    // found before the sample it came with expires; any ending must reach the safe speed in time.
    // The sample's 1.5 s leave room for a fan failure to be seen before the sample expires even
    // when the machine stalls this process for a second: at 1 s, one run saw it end as a lapse.
    const QString timings = kKevoSimFan
        + QString::asprintf(";CommandTimeoutMs=%d;SettlingMs=%d;MaximumSampleAgeMs=%d;MaximumOffMs=%d", 200 * kSlow,
            1500 * kSlow, 1500 * kSlow, 2000 * kSlow);
    const qint64 inTime = 3000 * kSlow;
    const quint32 seed = QRandomGenerator::global()->generate();
    QRandomGenerator random(seed);
    QMap<QString, int> injected;
    QStringList violations;
    int guards = 0, leases = 0;
    qint64 rssBefore = 0;
    const auto residentKiB = [] {
        QFile statm("/proc/self/statm");
        return statm.open(QIODevice::ReadOnly) ? statm.readAll().split(' ').value(1).toLongLong() * 4 : 0;
    };
    QElapsedTimer clock;
    const uint files = QDir("/proc/self/fd").count();
    // The guards' own lines would be thousands a minute, and past its limit the test
    // framework prints nothing more, the summary included.
    static const QtMessageHandler framework = qInstallMessageHandler(nullptr);
    qInstallMessageHandler([](QtMsgType type, const QMessageLogContext& context, const QString& text) {
        if (!text.startsWith("[RFU_GUARD]"))
            framework(type, context, text);
    });
    for (clock.start(); clock.elapsed() < seconds * 1000 && violations.size() < 10; ++guards) {
        if (guards == 20) // the framework's caches and the sanitizers' pools are warm by now
            rssBefore = residentKiB();
        RfuFanGuardServiceProbe probe(timings, false);
        delete new NotifyPeer(probe.dir().filePath("fan.sock")); // a socket file left behind
        const qint64 born = clock.elapsed();
        const auto fail = [&](const QString& what) {
            violations << QString("guard %1 (seed %2): %3").arg(guards).arg(seed).arg(what);
        };
        const int before = violations.size(); // a guard that broke an invariant is left
        if (!probe.start()) {
            fail("did not start");
            continue;
        }
        probe.step("live");
        // Readers of the status socket, one of which stops reading: they delay nothing.
        probe.step("reader 3");
        probe.readers.back()->socket.setReadBufferSize(1);
        QString error; // no second fan writer, whatever the mode
        if (RfuFanGuardService(loadedProfile(""), false).start(probe.dir().filePath("s"), true, &error)
            || error != "Another fan writer owns the guard lock")
            fail("a second fan writer started: " + error);
        const auto reason = [&] { return probe.snapshot().value("faultReason").toString(); };
        for (Ending ending { "start", "", "" };
             ending.reason.isEmpty() && violations.size() == before && reason().isEmpty();) {
            if (!QTest::qWaitFor([&] { return probe.snapshot().value("ready").toBool(); }, inTime)) {
                fail("not ready after " + ending.kind);
                break;
            }
            probe.step("hello");
            ++leases;
            int rpm = 0;
            for (int n = 0; n < 4; ++n, QTest::qWait(random.bounded(20))) // the client's own pace, at random
                probe.step(QString("ctl rpm=%1").arg(rpm = 1200 + 100 * random.bounded(49)));
            ending = endings.at(random.bounded(endings.size()));
            ++injected[ending.kind];
            for (const QString& step : ending.steps.split('&', Qt::SkipEmptyParts))
                probe.step(QString(step).replace("<rpm>", QString::number(rpm == 6000 ? 5900 : rpm + 100)));
            if (!QTest::qWaitFor(
                    [&] { return reason() == ending.reason && fanSetpoint(probe.dir()) == "6000"; }, inTime)
                || probe.snapshot().value("requestedRpm") != 6000)
                fail(QString("%1: reason \"%2\", fan at %3").arg(ending.steps, reason(), fanSetpoint(probe.dir())));
            if (const QString problems = probe.snapshot().value("problems").toString(); !problems.isEmpty())
                fail(problems);
        }
        if (probe.manager->count("WATCHDOG=1") < (clock.elapsed() - born) / (500 * kSlow))
            fail("the watchdog starved");
    }
    qunsetenv("NOTIFY_SOCKET");
    qInstallMessageHandler(framework);
    QTRY_VERIFY2(QDir("/proc/self/fd").count() <= files, "file descriptors were left behind");
    const qint64 grown = residentKiB() - rssBefore;
    QStringList counts;
    for (auto it = injected.cbegin(); it != injected.cend(); ++it)
        counts << QString("%1 %2").arg(it.key()).arg(it.value());
    qInfo("soak: %lld s, seed %u, %d guards, %d leases; injected: %s; invariant violations %lld; resident memory "
          "grew by %lld KiB after the first 20 guards",
        clock.elapsed() / 1000, seed, guards, leases, qPrintable(counts.join(", ")), qint64(violations.size()), grown);
    QVERIFY2(violations.isEmpty(), qPrintable(violations.join('\n')));
    if (kSlow == 1) // the address sanitizer's quarantine holds freed memory back by design
        QVERIFY2(rssBefore == 0 || grown < 8192, "resident memory grew");
}

int main(int argc, char** argv)
{
    if (geteuid() != 0) {
        std::fprintf(stderr, "soak: real mode needs root; skipped\n");
        return 77; // CTest's skip, as SKIP_RETURN_CODE says
    }
    QCoreApplication app(argc, argv);
    tst_Soak soak;
    return QTest::qExec(&soak, argc, argv);
}

#include "soak.moc"
