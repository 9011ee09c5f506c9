// The guard's code in this process: the device safety profile's readers, rules and
// stop-time budget (tables/profile.txt); the fan backend driving kevo-sim (tables/fan.txt);
// the guard's timing rules, and its protocol, confirmation cycle and supervision as
// scenarios on a simulated fan (tables/guard.txt); and the fault soak, in real mode (root:
// its writer lock lives under /run).
#include "backend/kevofanbackend.h"
#include "guard/controlrules.h"
#include "guard/guardrules.h"
#include "guard/steadystate.h"
#include "harness.h"
#include "profile/profilevalidation.h"
#include "thermalmodel.h"

#include <ostrel-client/guardclient.h>
#include <ostrel-client/referenceregulator.h>

#include <QtTest>

constexpr int kSlow = OSTREL_SLOW; // 4 under the sanitizers: kevo-sim starts and the guard's ticks take longer

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
    void guardClient();
    void regulator();
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
        { "LeaseMs", profile.LeaseMs }, { "MaximumFeedbackAgeMs", profile.MaximumFeedbackAgeMs },
        { "warnings", steadyStateWarnings(profile).replaceInStrings(QRegularExpression(" .*"), "").join(',') } };
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
    // A control request at the lease's deadline itself is in time.
    const DeviceProfile profile = loadedProfile({});
    const ControlRequest request { 1, 1, 6000, 30, {}, { true, "SN-0001", "s", 1, 30, 0 } };
    for (const qint64 now : { 1000, 1001 }) {
        ControlState state;
        state.leaseDeadline = state.lastFeedbackAt = 1000;
        QCOMPARE(checkControlRequest(request, true, profile, now, &state).isEmpty(), now == 1000);
    }
}

void tst_Core::scenario()
{
    QFETCH(QString, profile);
    QFETCH(QString, steps);
    QFETCH(QString, reason);
    QFETCH(QString, expect);
    // The client library refuses first every message the guard refuses, with the guard's reason
    // (raw frames, sent with "send", are not messages it would write). local=spin-up: the library
    // still holds to the spin-up speed where the guard no longer does, as it cannot see when the
    // fan program has applied it, and waits out its time limit.
    static const QStringList refusals { "Unsupported protocol", "Invalid or expired control lease",
        "Control request violates safety bounds", "Device session or sample identity changed",
        "Temperature sample expired", "Unsafe stop or spin-up request" };
    const QString local = expect.contains("local=spin-up") ? "Unsafe stop or spin-up request"
        : refusals.contains(reason)                        ? reason
                                                           : "";
    expect.remove("local=spin-up");
    // <fan>: a guard in real mode, on kevo-sim.
    auto probe = std::make_unique<RfuFanGuardServiceProbe>(
        QString(profile).replace("<fan>", kKevoSimFan), !profile.contains("<fan>"));
    QVERIFY(probe->start());
    for (const QString& step : steps.split(';'))
        probe->step(step);
    if (expect.contains("closed=true"))
        QVERIFY(QTest::qWaitFor([&] { return probe->snapshot().value("closed").toBool(); }, 2000));
    const QJsonObject state = probe->snapshot();
    QCOMPARE(state.value("reason").toString(), reason);
    if (!steps.contains("send "))
        QCOMPARE(probe->localRefusal, local);
    QCOMPARE(RfuFanGuardServiceProbe::failedCheck(state, expect + " problems="), QString());
    // Teardown closes the client's connection and runs no handler of the guard, so logs nothing.
    static int logged = 0;
    qInstallMessageHandler([](QtMsgType, const QMessageLogContext&, const QString&) { ++logged; });
    const auto client = std::move(probe->clients.back());
    probe.reset();
    qInstallMessageHandler(nullptr);
    QCOMPARE(std::exchange(logged, 0), 0);
    QVERIFY(QTest::qWaitFor([&] { return client->socket.state() == QLocalSocket::UnconnectedState; }, 1000));
}

// The library's client against a guard that is not there at first, then busy: it comes back
// until served, takes the lease once ready, refuses a bad request unsent, releases, reports a
// fault, and disconnects.
void tst_Core::guardClient()
{
    RfuFanGuardServiceProbe probe("");
    ostrel::SafetyProfile profile;
    QVERIFY(profile.load(writeFile(probe.dir(), "profile.ini", profileText(kShortTimings))));
    ostrel::GuardClient client(profile);
    QStringList events;
    connect(&client, &ostrel::GuardClient::leaseGranted, this, [&] { events << "lease"; });
    connect(&client, &ostrel::GuardClient::leaseEnded, this, [&] { events << "ended"; });
    connect(&client, &ostrel::GuardClient::faultLatched, this, [&](const QString& reason) { events << reason; });
    client.connectToGuard(probe.dir().filePath("fan.sock"));
    QTest::qWait(200);
    QVERIFY(probe.start()); // its own client connects first
    const QFileDevice::Permissions others = QFile::ReadGroup | QFile::WriteGroup | QFile::ReadOther | QFile::WriteOther;
    QVERIFY(!(QFileInfo(probe.dir().filePath("fan.sock")).permissions() & others)); // the owner's alone
    QTest::qWait(300); // turned away by the guard, which serves the probe's client
    QVERIFY(!client.isConnected());
    probe.step("drop");
    probe.step("live");
    QVERIFY(QTest::qWaitFor([&] { return client.hasLease(); }, 5000));

    ostrel::SampleTracker samples(profile.deviceSerial(), "sensor-1");
    samples.measured(30);
    QString refusal;
    QVERIFY(!client.control(1250, 30, samples.sample(), {}, &refusal));
    QCOMPARE(refusal, "Unsafe stop or spin-up request");
    QVERIFY(client.control(3000, 30, samples.sample(), {}, &refusal));
    const auto steered = [&] { return client.status().rpm == 3000 && client.status().requestedRpm == 3000; };
    QVERIFY(QTest::qWaitFor(steered, 2000) && client.status().simulation);
    QVERIFY(client.release());
    QVERIFY(QTest::qWaitFor([&] { return !client.hasLease() && client.status().ready; }, 2000)); // no fault
    probe.step("fail");
    QVERIFY(QTest::qWaitFor([&] { return events.size() == 3; }, 2000));
    QCOMPARE(events, QStringList({ "lease", "ended", "Fan command exited unsuccessfully" }));
    client.disconnectFromGuard();
    QTRY_VERIFY(!client.isConnected());
}

// The reference regulator on unit models chosen at random, in simulated time: it must stop the
// fan while the unit is cold (and, looking ahead, end the stop before the unit reaches the stop's
// margin), then bring the unit into the stable band and hold it there for StableHoldMs, with
// every request passing the guard's rules on the library's side.
void tst_Core::regulator()
{
    const quint32 seed = qEnvironmentVariableIsSet("OSTREL_SEED") ? quint32(qEnvironmentVariableIntValue("OSTREL_SEED"))
                                                                  : QRandomGenerator::system()->generate();
    qInfo("unit models from seed %u (OSTREL_SEED repeats them)", seed);
    QRandomGenerator random(seed);
    ostrel::SafetyProfile profile;
    QVERIFY(profile.load(OSTREL_EXAMPLE_PROFILE));
    const DeviceProfile fields = loadedProfile({});
    constexpr qint64 kStepMs = 500;
    for (int model = 0; model < 5; ++model) {
        const double target = fields.MinimumTargetC + random.bounded(fields.MaximumTargetC - fields.MinimumTargetC);
        ThermalModel unit;
        unit.ambientC = unit.temperatureC = target - fields.LeadC - 3 - random.bounded(15.0);
        unit.heatingCPerSecond = 0.02 + random.bounded(0.2);
        // The fan holds the target at between a third and nine tenths of its full speed.
        unit.coolingPerSecond = unit.heatingCPerSecond / ((0.33 + random.bounded(0.57)) * (target - unit.ambientC));
        const QString name = QString::asprintf(
            "model %d: %.2f °C from %.2f °C, heating %.3f °C/s", model, target, unit.ambientC, unit.heatingCPerSecond);

        ostrel::ControlTracker client(fields, 50);
        client.setWarmupStopExpected(true);
        ostrel::ReferenceRegulator regulator(profile, target);
        ostrel::SampleTracker samples(fields.DeviceSerial, "sensor-1");
        QJsonObject status { { "session", "s" }, { "requestedRpm", fields.MaximumRpm }, { "ready", true },
            { "rpm", fields.MaximumRpm }, { "ageMs", 0 } };
        client.statusReceived(status, 0);
        client.check({ { "version", 1 }, { "type", "hello" } }, 0);
        status["lease"] = "l";
        double stopEndedAtC = 0; // the look-ahead ends the stop before the unit reaches the margin
        ostrel::RegulatorOutput out;
        for (qint64 now = 0; !out.stable && now < 3600 * 1000; now += kStepMs) {
            client.statusReceived(status, now); // the fan has reached the last request
            samples.measured(unit.temperatureC, now);
            out = regulator.step(
                unit.temperatureC, kStepMs / 1000.0, client.warmupStopAvailable(now), client.spinUpPending());
            const QString refusal
                = client.check(client.controlMessage(out.rpm, target, samples.sample(now), out.state), now);
            QVERIFY2(refusal.isEmpty(), qPrintable(name + ": " + refusal));
            if (status["requestedRpm"] == 0 && out.rpm > 0)
                stopEndedAtC = unit.temperatureC;
            status["requestedRpm"] = status["rpm"] = out.rpm;
            unit.advance(kStepMs / 1000.0, out.rpm / double(fields.MaximumRpm));
        }
        QVERIFY2(stopEndedAtC > unit.ambientC && stopEndedAtC < target - fields.LeadC && out.stable, qPrintable(name));
    }
}

// The fault soak: guards on kevo-sim with their real tick and deadlines of a few hundred ms,
// while a client leases, steers and ends each lease one of the ways below, at random. Every
// ending must bring the fan to the safe speed, a fault with its reason, each in time; every
// status keeps the contract; the watchdog is fed; no file descriptor or memory is left behind.
// A latched fault ends a guard's life, so every fault is injected into a guard of its own.
void tst_Core::soak()
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
        QString error; // no second fan writer, whatever the mode
        if (RfuFanGuardService(loadedProfile(""), false).start(probe.dir().filePath("s"), true, &error)
            || error != "Another fan writer owns the guard lock")
            fail("a second fan writer started: " + error);
        const auto reason = [&] { return probe.snapshot().value("reason").toString(); };
        for (Ending ending { "start", "", "" };
             ending.reason.isEmpty() && violations.size() == before && reason().isEmpty();) {
            if (!QTest::qWaitFor([&] { return probe.snapshot().value("ready").toBool(); }, inTime)) {
                fail("not ready after " + ending.kind);
                break;
            }
            probe.step("hello");
            ++leases;
            int rpm = 0;
            for (int n = 0; n < 4; ++n, QTest::qWait(random.bounded(20)))
                probe.step(QString("ctl rpm=%1").arg(rpm = 1200 + 100 * random.bounded(49)));
            ending = endings.at(random.bounded(endings.size()));
            ++injected[ending.kind];
            for (const QString& step : ending.steps.split('&', Qt::SkipEmptyParts))
                probe.step(QString(step).replace("<rpm>", QString::number(rpm == 6000 ? 5900 : rpm + 100)));
            if (!QTest::qWaitFor(
                    [&] { return reason() == ending.reason && fanSetpoint(probe.dir()) == "6000"; }, inTime)
                || probe.snapshot().value("requested") != 6000)
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

QTEST_GUILESS_MAIN(tst_Core)
#include "tst_core.moc"
