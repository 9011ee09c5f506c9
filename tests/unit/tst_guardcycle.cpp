// The command and confirmation cycle: requested speed, confirmation, late confirmation, spin-up.
#include "service/rfufanguardservice.h"

#include "guardprobe.h"
#include "profilefixtures.h"

#include <QSignalSpy>
#include <QtTest>

namespace {

// A constructed, unstarted guard in simulation with its clock running; the
// tests call its handlers directly. Profile: MaximumRpm 6000, SpinUpRpm 3000,
// RpmTolerance 150, SpinUpMs 100, SettlingMs 300.
struct Guard {
    RfuFanGuardService service { shortTimingDeviceProfile(), true };
    RfuFanGuardServiceProbe probe { service };
    Guard() { probe.startClock(); }
};

QByteArray requestedLine(int rpm) { return "[RFU_GUARD] RPM requested; unconfirmed= " + QByteArray::number(rpm); }

} // namespace

class tst_GuardCycle : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void requestRpm_data();
    void requestRpm();
    void repeatedRequestIsNoOp();
    void reading_data();
    void reading();
    void lateConfirmation_data();
    void lateConfirmation();
    void spinUpTracking_data();
    void spinUpTracking();
};

void tst_GuardCycle::requestRpm_data()
{
    QTest::addColumn<int>("from");
    QTest::addColumn<int>("to");
    QTest::addColumn<bool>("spinUpPending");
    QTest::addColumn<bool>("stopped");

    QTest::newRow("start-up request arms no spin-up") << -1 << 6000 << false << false;
    QTest::newRow("start from standstill arms a spin-up") << 0 << 1200 << true << false;
    QTest::newRow("one speed to another leaves spin-up alone") << 3000 << 4000 << false << false;
    QTest::newRow("a stop records when it began") << 3000 << 0 << false << true;
}

void tst_GuardCycle::requestRpm()
{
    QFETCH(int, from);
    QFETCH(int, to);
    QFETCH(bool, spinUpPending);
    QFETCH(bool, stopped);

    Guard guard;
    auto& p = guard.probe;
    p.requestedRpm() = from;
    p.offSince() = from == 0 ? 5 : -1;
    p.spinUpReadyAt() = 77;

    QTest::ignoreMessage(QtInfoMsg, requestedLine(to).constData());
    const qint64 before = p.now();
    p.requestRpm(to);
    const qint64 after = p.now();

    QCOMPARE(p.requestedRpm(), to);
    QCOMPARE(p.spinUpPending(), spinUpPending);
    QCOMPARE(p.spinUpReadyAt(), spinUpPending ? qint64(-1) : qint64(77));
    QVERIFY(p.confirmationSince() >= before && p.confirmationSince() <= after);
    if (stopped)
        QVERIFY(p.offSince() >= before && p.offSince() <= after);
    else
        QCOMPARE(p.offSince(), qint64(-1));
    // Once commanded to stop, the warm-up stop counts as used for good.
    QCOMPARE(p.warmupStopUsed(), stopped);

    QSignalSpy readings(&p.backend(), &KevoFanBackend::reading);
    QVERIFY(readings.wait(1000));
    QCOMPARE(readings.first().at(1).toInt(), to);
}

void tst_GuardCycle::repeatedRequestIsNoOp()
{
    Guard guard;
    auto& p = guard.probe;
    QTest::ignoreMessage(QtInfoMsg, requestedLine(0).constData());
    p.requestRpm(0);
    QCoreApplication::processEvents();
    p.confirmationSince() = 11;
    p.offSince() = 12;

    QSignalSpy readings(&p.backend(), &KevoFanBackend::reading);
    p.requestRpm(0);
    QCoreApplication::processEvents();
    QCOMPARE(readings.count(), 0);
    QCOMPARE(p.confirmationSince(), qint64(11));
    QCOMPARE(p.offSince(), qint64(12));

    // A newer request keeps the deadline of the one still unconfirmed.
    QTest::ignoreMessage(QtInfoMsg, requestedLine(3000).constData());
    p.requestRpm(3000);
    QCOMPARE(p.confirmationSince(), qint64(11));
    QCOMPARE(p.offSince(), qint64(-1));
    QVERIFY(p.warmupStopUsed());
}

void tst_GuardCycle::reading_data()
{
    QTest::addColumn<int>("requested");
    QTest::addColumn<bool>("pending"); // a confirmation was awaited before the reading
    QTest::addColumn<int>("rpm");
    QTest::addColumn<int>("setpoint");
    QTest::addColumn<bool>("confirms");

    QTest::newRow("safe speed confirmed") << 6000 << true << 6000 << 6000 << true;
    QTest::newRow("within tolerance") << 3000 << true << 3150 << 3000 << true;
    QTest::newRow("beyond tolerance") << 3000 << true << 3151 << 3000 << false;
    QTest::newRow("right speed under an older setpoint") << 3000 << true << 3000 << 6000 << false;
    QTest::newRow("repeated confirmation is silent") << 3000 << false << 3000 << 3000 << true;
    QTest::newRow("drift starts the deadline again") << 3000 << false << 2000 << 3000 << false;
}

void tst_GuardCycle::reading()
{
    QFETCH(int, requested);
    QFETCH(bool, pending);
    QFETCH(int, rpm);
    QFETCH(int, setpoint);
    QFETCH(bool, confirms);

    Guard guard;
    auto& p = guard.probe;
    p.requestedRpm() = requested;
    p.confirmationSince() = pending ? p.now() : -1;
    if (confirms && pending)
        QTest::ignoreMessage(QtInfoMsg,
            qPrintable(QStringLiteral("[RFU_GUARD] RPM confirmed; requested= %1 actual= %2").arg(requested).arg(rpm)));

    const qint64 before = p.now();
    p.reading(rpm, setpoint);

    QCOMPARE(p.lastRpm(), rpm);
    QVERIFY(p.lastFeedbackAt() >= before);
    if (confirms)
        QCOMPARE(p.confirmationSince(), qint64(-1));
    else
        QVERIFY(p.confirmationSince() >= 0 && p.confirmationSince() <= p.now());
    const bool safeConfirmed = confirms && setpoint == 6000;
    QCOMPARE(p.safeConfirmed(), safeConfirmed);
    QCOMPARE(p.awaitingSafeConfirmation(), !safeConfirmed);
    QVERIFY(p.faultReason().isEmpty());
}

void tst_GuardCycle::lateConfirmation_data()
{
    QTest::addColumn<QString>("earlierFault");
    QTest::addColumn<bool>("raisesSafety");

    QTest::newRow("late confirmation is a fault") << QString() << true;
    QTest::newRow("late confirmation after a fault confirms normally")
        << QStringLiteral("Fan feedback expired") << false;
}

void tst_GuardCycle::lateConfirmation()
{
    QFETCH(QString, earlierFault);
    QFETCH(bool, raisesSafety);

    Guard guard;
    auto& p = guard.probe;
    p.requestedRpm() = 3000;
    p.faultReason() = earlierFault;
    QTest::qWait(5); // the clock must be past the backdated start
    p.confirmationSince() = p.now() - 301;

    if (raisesSafety) {
        QTest::ignoreMessage(QtInfoMsg, requestedLine(6000).constData());
        QTest::ignoreMessage(QtWarningMsg, "[RFU_GUARD] safety requested: Fan confirmation arrived after its deadline");
    } else {
        QTest::ignoreMessage(QtInfoMsg, "[RFU_GUARD] RPM confirmed; requested= 3000 actual= 3000");
    }
    p.reading(3000, 3000);

    if (raisesSafety) {
        QCOMPARE(p.faultReason(), QStringLiteral("Fan confirmation arrived after its deadline"));
        QCOMPARE(p.requestedRpm(), 6000);
        QVERIFY(p.confirmationSince() >= 0);
    } else {
        QCOMPARE(p.faultReason(), earlierFault);
        QCOMPARE(p.confirmationSince(), qint64(-1));
    }
}

void tst_GuardCycle::spinUpTracking_data()
{
    QTest::addColumn<bool>("pending");
    QTest::addColumn<qint64>("readyAt"); // before the reading
    QTest::addColumn<int>("rpm");
    QTest::addColumn<int>("setpoint");
    QTest::addColumn<QString>("expected"); // "started", "kept", "reset" or "untouched"

    QTest::newRow("reaching the spin-up speed starts the period") << true << qint64(-1) << 3000 << 3000 << "started";
    QTest::newRow("lowest qualifying speed") << true << qint64(-1) << 2850 << 3000 << "started";
    QTest::newRow("a running period continues") << true << qint64(42) << 3000 << 3000 << "kept";
    QTest::newRow("speed below spin-up minus tolerance resets") << true << qint64(42) << 2849 << 3000 << "reset";
    QTest::newRow("setpoint below spin-up resets") << true << qint64(42) << 3000 << 2900 << "reset";
    QTest::newRow("no spin-up pending") << false << qint64(42) << 100 << 3000 << "untouched";
}

void tst_GuardCycle::spinUpTracking()
{
    QFETCH(bool, pending);
    QFETCH(qint64, readyAt);
    QFETCH(int, rpm);
    QFETCH(int, setpoint);
    QFETCH(QString, expected);

    Guard guard;
    auto& p = guard.probe;
    p.requestedRpm() = setpoint;
    p.spinUpPending() = pending;
    p.spinUpReadyAt() = readyAt;

    const qint64 before = p.now();
    p.reading(rpm, setpoint);
    const qint64 after = p.now();

    if (expected == QLatin1String("started"))
        QVERIFY(p.spinUpReadyAt() >= before + 100 && p.spinUpReadyAt() <= after + 100);
    else if (expected == QLatin1String("reset"))
        QCOMPARE(p.spinUpReadyAt(), qint64(-1));
    else
        QCOMPARE(p.spinUpReadyAt(), readyAt);
    // Only a control request ends a spin-up.
    QCOMPARE(p.spinUpPending(), pending);
}

QTEST_GUILESS_MAIN(tst_GuardCycle)
#include "tst_guardcycle.moc"
