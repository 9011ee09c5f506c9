// The client library: GuardClient against a guard in this process, and the reference regulator
// with the library's ControlTracker on unit models. (The tracker beside the guard: tst_guard.)
#include "harness.h"
#include "thermalmodel.h"

#include <ostrel-client/guardclient.h>
#include <ostrel-client/referenceregulator.h>

class tst_Client : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void guardClient();
    void absurdNumbers();
    void regulator();
};

// The library's client against a guard that is not there at first, then busy: it comes back
// until served, takes the lease once ready, refuses a bad request unsent, releases the lease
// before the guard's deadline when no request follows (a sensor that stopped), on the guard's
// own clock and with no fault, reports a fault, and disconnects.
void tst_Client::guardClient()
{
    RfuFanGuardServiceProbe probe("");
    ostrel::SafetyProfile profile;
    QVERIFY(profile.load(writeFile(probe.dir(), "profile.ini", profileText(kShortTimings))));
    ostrel::GuardClient client(profile);
    QStringList events;
    connect(&client, &ostrel::GuardClient::leaseGranted, this, [&] { events << "lease"; });
    connect(&client, &ostrel::GuardClient::leaseEnded, this, [&] { events << "ended"; });
    connect(&client, &ostrel::GuardClient::faultLatched, this, [&](const QString& reason) { events << reason; });
    connect(&client, &ostrel::GuardClient::releasedBeforeDeadline, this, [&] { client.setLeaseWanted(false); });
    client.connectToGuard(probe.dir().filePath("fan.sock")); // fails at once: nothing listens yet
    QVERIFY(probe.start()); // its own client connects first
    const QFileDevice::Permissions others = QFile::ReadGroup | QFile::WriteGroup | QFile::ReadOther | QFile::WriteOther;
    QVERIFY(!(QFileInfo(probe.dir().filePath("fan.sock")).permissions() & others)); // the owner's alone
    // The library's client comes back, and the guard, serving the probe's client, turns it away.
    QVERIFY(QTest::qWaitFor([&] { return probe.connections >= 2; }, 5000));
    probe.settle();
    QVERIFY(!client.isConnected());
    QVERIFY(probe.step("drop") && probe.step("live"));
    QVERIFY(QTest::qWaitFor([&] { return client.hasLease(); }, 5000));

    ostrel::SampleTracker samples(profile.deviceSerial(), "sensor-1");
    samples.measured(30);
    QString refusal;
    QVERIFY(!client.control(1250, 30, samples.sample(), {}, &refusal));
    QCOMPARE(refusal, "Unsafe stop or spin-up request");
    QVERIFY(client.control(3000, 30, samples.sample(), {}, &refusal));
    const auto steered = [&] { return client.status().rpm == 3000 && client.status().requestedRpm == 3000; };
    QVERIFY(QTest::qWaitFor(steered, 2000) && client.status().simulation && client.timeLeftMs() > 1000);
    QVERIFY(QTest::qWaitFor([&] { return !client.hasLease(); }, 5000));
    QTest::qWait(500); // past the guard's deadline, and its ticks
    QVERIFY(client.status().ready); // no fault
    QVERIFY(probe.step("fail"));
    QVERIFY(QTest::qWaitFor([&] { return events.size() == 3; }, 2000));
    QCOMPARE(events, QStringList({ "lease", "ended", "Fan command exited unsuccessfully" }));
    client.disconnectFromGuard();
    QTRY_VERIFY(!client.isConnected());
}

// Numbers no guard sends, read without an undefined conversion (the sanitizer build checks it).
void tst_Client::absurdNumbers()
{
    const DeviceProfile profile = loadedProfile({}); // the tracker keeps a reference
    ostrel::ControlTracker tracker(profile, 0);
    for (const double number : { 1e300, -1e300, qInf(), 0.5 }) {
        const QJsonObject status { { "type", "status" }, { "session", "s" }, { "ageMs", number }, { "rpm", number },
            { "requestedRpm", number } };
        QCOMPARE(ostrel::parseGuardStatus(status).ageMs, -1);
        tracker.statusReceived(status, 0);
    }
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

QTEST_GUILESS_MAIN(tst_Client)
#include "tst_client.moc"
