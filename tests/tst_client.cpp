// The client library: GuardClient against a guard in this process, and the reference regulator
// with the library's ControlTracker on unit models. (The tracker beside the guard: tst_guard.)
#include "harness.h"
#include "thermalmodel.h"

#include <ostrel-client/guardclient.h>
#include <ostrel-client/referenceregulator.h>

#include <QMetaEnum>
#include <sys/fsuid.h>

// The name of a value of the library's enums.
template <typename Enum> QString key(Enum value) { return QMetaEnum::fromType<Enum>().valueToKey(int(value)); }

class tst_Client : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void guardClient();
    void connectionStates_data() { addRows("client"); }
    void connectionStates();
    void regulator();
};

// The library's client against a guard in this process that serves another client, then it:
// turned away at first, it takes the lease once served, refuses a bad request unsent, and when
// no request follows (a sensor that stopped) releases the lease before the guard's deadline, on
// the guard's own clock, with no fault.
void tst_Client::guardClient()
{
    RfuFanGuardServiceProbe probe("");
    ostrel::SafetyProfile profile;
    QVERIFY(!profile.load(probe.dir().filePath("none.ini")) && !profile.isLoaded());
    QVERIFY(profile.load(writeFile(probe.dir(), "profile.ini", profileText(kShortTimings))) && probe.start());
    const QFileDevice::Permissions others = QFile::ReadGroup | QFile::WriteGroup | QFile::ReadOther | QFile::WriteOther;
    QVERIFY(!(QFileInfo(probe.dir().filePath("fan.sock")).permissions() & others)); // the owner's alone
    ostrel::GuardClient client(profile);
    client.setSimulationAccepted(true);
    QStringList events;
    connect(&client, &ostrel::GuardClient::leaseEnded, this,
        [&](ostrel::GuardClient::LeaseEnd why) { events << key(why); });
    connect(&client, &ostrel::GuardClient::releasedBeforeDeadline, this, [&] { QVERIFY(!client.release()); });
    client.connectToGuard(probe.dir().filePath("fan.sock"));
    QTRY_COMPARE(client.connectionState(), ostrel::GuardClient::ConnectionState::Busy);
    QVERIFY(probe.step("drop") && probe.step("live"));
    QVERIFY(QTest::qWaitFor([&] { return client.hasLease(); }, 5000));

    ostrel::SampleTracker samples(profile.deviceSerial(), "sensor-1");
    samples.measured(30);
    QString refusal;
    QVERIFY(!client.control(1250, 30, samples.sample(), {}, &refusal));
    QCOMPARE(refusal, "Unsafe stop or spin-up request");
    QVERIFY(client.control(3000, 30, samples.sample()));
    QVERIFY(QTest::qWaitFor([&] { return client.status().requestedRpm == 3000; }, 2000) && client.timeLeftMs() > 1000);
    QVERIFY(QTest::qWaitFor([&] { return !client.hasLease(); }, 5000));
    QTest::qWait(500); // past the guard's deadline, and its ticks
    QVERIFY(client.status().ready && !client.hasLease()); // no fault, and not taken again
    QCOMPARE(events, QStringList({ "Released" }));
}

// Where the client stands, and why a lease ended, in the documented order of the signals
// (tables/client.txt).
void tst_Client::connectionStates()
{
    QFETCH(QString, steps);
    QFETCH(QString, events);
    using Client = ostrel::GuardClient;
    QTemporaryDir dir;
    ostrel::SafetyProfile profile;
    QVERIFY(profile.load(writeFile(dir, "p.ini", profileText(kShortTimings))));
    Client client(profile);
    QStringList seen;
    connect(&client, &Client::connectionStateChanged, this, [&](Client::ConnectionState s) { seen << key(s); });
    connect(&client, &Client::leaseGranted, this, [&] { seen << "lease"; });
    connect(&client, &Client::requestDue, this, [&] { seen << "due"; });
    connect(&client, &Client::faultLatched, this, [&] { seen << "fault"; });
    connect(&client, &Client::leaseEnded, this, [&](Client::LeaseEnd why) { seen << QString("ended:") + key(why); });
    QLocalServer server;
    const QString path = dir.filePath("fan.sock");
    QVERIFY(steps.startsWith("absent") || server.listen(path));
    std::unique_ptr<QLocalSocket> guard;
    QJsonObject status { { "type", "status" }, { "session", "s" }, { "serial", "SN-0001" }, { "ready", true },
        { "requestedRpm", 6000 }, { "rpm", 6000 }, { "rpmValid", true }, { "ageMs", 0 }, { "lease", "" } };
    for (const QString& step : steps.split(';')) {
        const QString verb = step.section(' ', 0, 0), argument = step.section(' ', 1);
        if (verb == "mode") { // and root opens files as nobody, without its overrides, until the connection
            QVERIFY(QFile::setPermissions(path, {}));
            setfsuid(65534);
        } else if (verb == "connect") {
            client.connectToGuard(path);
            setfsuid(geteuid());
        } else if (verb == "accept") {
            QTRY_VERIFY(server.hasPendingConnections()); // the client's retries need the event loop
            guard.reset(server.nextPendingConnection());
        } else if (verb == "close") { // mid-frame
            guard->write(R"({"type":)");
            guard->disconnectFromServer();
        } else if (verb == "silence") {
            QTRY_COMPARE_WITH_TIMEOUT(client.connectionState(), Client::ConnectionState::NoStatus, 5000);
        } else if (verb == "status") {
            const QJsonObject changes = QJsonDocument::fromJson("{" + argument.toUtf8() + "}").object();
            for (auto it = changes.begin(); it != changes.end(); ++it)
                status[it.key()] = it.value();
            guard->write(QJsonDocument(status).toJson(QJsonDocument::Compact) + '\n');
            guard->flush();
        } else if (verb == "release") {
            QVERIFY(QTest::qWaitFor([&] { return client.hasLease(); }, 2000) && client.release());
            QTRY_VERIFY_WITH_TIMEOUT(guard->peek(1 << 16).contains(R"("type":"release")"), 1000); // not the deadline's
        }
        // Between steps: status() is the guard's word only while connected, and ready only then;
        // with no request of its own sent, the fan is stopped when the guard asks for 0; the
        // reading's age is read.
        QVERIFY(client.status().stale == (client.connectionState() != Client::ConnectionState::Connected)
            && (client.isConnected() || !client.status().ready)
            && client.fanStopped() == (client.status().requestedRpm == 0)
            && client.status().ageMs == (client.status().session.isEmpty() ? -1 : 0));
    }
    QTRY_COMPARE_WITH_TIMEOUT(seen.join(' '), events, 2000);
    QCOMPARE(client.status().stale, client.connectionState() != Client::ConnectionState::Connected);
}

// The reference regulator on unit models chosen at random, in simulated time: it must stop the
// fan while the unit is cold (and, looking ahead, end the stop before the unit reaches the stop's
// margin), then bring the unit into the stable band and hold it there for StableHoldMs, with
// every request passing the guard's rules on the library's side.
void tst_Client::regulator()
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
            const QString refusal = client.check(
                client.controlMessage(out.rpm, target, samples.sample(now), ostrel::requestStateName(out.state)), now);
            QVERIFY2(refusal.isEmpty(), qPrintable(name + ": " + refusal));
            if (status["requestedRpm"] == 0 && out.rpm > 0)
                stopEndedAtC = unit.temperatureC;
            status["requestedRpm"] = status["rpm"] = out.rpm;
            unit.advance(kStepMs / 1000.0, out.rpm / double(fields.MaximumRpm));
        }
        QVERIFY2(stopEndedAtC > unit.ambientC && stopEndedAtC < target - fields.LeadC && out.stable, qPrintable(name));
    }
}

QTEST_GUILESS_MAIN(tst_Client)
#include "tst_client.moc"
