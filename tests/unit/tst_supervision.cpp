// Deadline supervision, the safety request, backend failures and the single retry.
#include "service/rfufanguardservice.h"

#include "guardprobe.h"
#include "profilefixtures.h"

#include <QSignalSpy>
#include <QtTest>
#include <functional>

using Arrange = std::function<void(RfuFanGuardServiceProbe&, qint64)>;
Q_DECLARE_METATYPE(Arrange)

namespace {

// A constructed, unstarted guard in simulation with its clock running and no
// obligation open, so that a tick raises nothing by itself. Profile:
// MaximumRpm 6000, SettlingMs 300, MaximumOffMs 1500, MaximumFeedbackAgeMs 1500.
struct Guard {
    RfuFanGuardService service { shortTimingDeviceProfile(), true };
    RfuFanGuardServiceProbe probe { service };
    Guard()
    {
        probe.startClock();
        probe.nextRefreshAt() = std::numeric_limits<qint64>::max();
    }
};

QByteArray safetyLine(const QString& reason) { return "[RFU_GUARD] safety requested: " + reason.toUtf8(); }

const char kSafeRequested[] = "[RFU_GUARD] RPM requested; unconfirmed= 6000";

} // namespace

class tst_Supervision : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void tickChecks_data();
    void tickChecks();
    void safeRetryThenExhaustion();
    void safetyRequest_data();
    void safetyRequest();
    void backendFailures();
    void periodicRefresh_data();
    void periodicRefresh();
};

void tst_Supervision::tickChecks_data()
{
    QTest::addColumn<Arrange>("arrange");
    QTest::addColumn<QString>("reason"); // the safety request the tick raises; empty for none

    // Times are arranged relative to the tick's t, which is the guard clock's
    // present, as in a real tick; they may lie before the clock's start.
    const auto lease = [](qint64 deadline) {
        return Arrange([=](RfuFanGuardServiceProbe& p, qint64 t) {
            p.leaseToken() = QStringLiteral("lease");
            p.leaseDeadline() = t + deadline;
        });
    };
    const auto sample = [](qint64 deadline, bool armed, bool leased) {
        return Arrange([=](RfuFanGuardServiceProbe& p, qint64 t) {
            p.leaseToken() = leased ? QStringLiteral("lease") : QString();
            p.leaseDeadline() = leased ? t + 5000 : t - 5000;
            p.sampleDeadline() = t + deadline;
            p.sampleDeadlineArmed() = armed;
        });
    };
    const auto stoppedFor = [](qint64 ms) {
        return Arrange([=](RfuFanGuardServiceProbe& p, qint64 t) {
            p.requestedRpm() = 0;
            p.offSince() = t - ms;
        });
    };
    const auto feedbackAged = [](qint64 ms, bool safeConfirmed, const QString& fault) {
        return Arrange([=](RfuFanGuardServiceProbe& p, qint64 t) {
            p.requestedRpm() = 6000;
            p.safeConfirmed() = safeConfirmed;
            p.awaitingSafeConfirmation() = !safeConfirmed;
            p.faultReason() = fault;
            p.lastFeedbackAt() = ms < 0 ? -1 : t - ms;
        });
    };
    const auto unconfirmedFor = [](qint64 ms, bool exhausted) {
        return Arrange([=](RfuFanGuardServiceProbe& p, qint64 t) {
            p.requestedRpm() = exhausted ? 6000 : 3000;
            p.confirmationSince() = t - ms;
            p.safeRetryUsed() = exhausted;
            p.recoveryExhausted() = exhausted;
        });
    };
    const QString expired = QStringLiteral("Control or telemetry deadline expired");
    const QString feedbackExpired = QStringLiteral("Fan feedback expired");

    QTest::newRow("lease one before its deadline") << lease(1) << "";
    QTest::newRow("lease at its deadline") << lease(0) << expired;
    QTest::newRow("armed sample one before its deadline") << sample(1, true, true) << "";
    QTest::newRow("armed sample at its deadline") << sample(0, true, true) << expired;
    QTest::newRow("sample deadline not armed") << sample(-1000, false, true) << "";
    QTest::newRow("deadlines without a lease play no part") << sample(-1000, true, false) << "";

    QTest::newRow("stop one short of its limit") << stoppedFor(1499) << "";
    QTest::newRow("stop at its limit") << stoppedFor(1500) << "Warmup stop deadline expired";

    QTest::newRow("feedback at its age limit") << feedbackAged(1500, true, QString()) << "";
    QTest::newRow("feedback one past its age limit") << feedbackAged(1501, true, QString()) << feedbackExpired;
    QTest::newRow("no feedback once the safe speed was confirmed")
        << feedbackAged(-1, true, QString()) << feedbackExpired;
    QTest::newRow("feedback unsupervised before the first safe confirmation")
        << feedbackAged(-1, false, QString()) << "";
    QTest::newRow("feedback unsupervised once a fault is latched")
        << feedbackAged(-1, true, QStringLiteral("earlier fault")) << "";

    QTest::newRow("request unconfirmed for exactly the settling time") << unconfirmedFor(300, false) << "";
    QTest::newRow("request unconfirmed past the settling time")
        << unconfirmedFor(301, false) << "Fan feedback did not confirm requested RPM";
    QTest::newRow("no confirmation check once recovery is exhausted") << unconfirmedFor(100000, true) << "";
}

void tst_Supervision::tickChecks()
{
    QFETCH(Arrange, arrange);
    QFETCH(QString, reason);

    Guard guard;
    auto& p = guard.probe;
    const qint64 t = p.now();
    arrange(p, t);
    const QString earlierFault = p.faultReason();
    const int requestedBefore = p.requestedRpm();
    if (!reason.isEmpty()) {
        if (requestedBefore != 6000)
            QTest::ignoreMessage(QtInfoMsg, kSafeRequested);
        QTest::ignoreMessage(QtWarningMsg, safetyLine(reason).constData());
    }

    p.superviseAt(t);

    if (reason.isEmpty()) {
        QCOMPARE(p.faultReason(), earlierFault);
        QCOMPARE(p.requestedRpm(), requestedBefore);
        return;
    }
    QCOMPARE(p.faultReason(), reason);
    QCOMPARE(p.requestedRpm(), 6000);
    QVERIFY(p.leaseToken().isEmpty());
    QCOMPARE(p.leaseDeadline(), qint64(-1));
    QVERIFY(!p.sampleDeadlineArmed());
    QVERIFY(p.awaitingSafeConfirmation());
    QVERIFY(p.warmupStopUsed());
    QCOMPARE(p.offSince(), qint64(-1));
    // One safety request per tick: the safe speed's own deadline starts afresh.
    QVERIFY(!p.safeRetryUsed());
}

// An unconfirmed request escalates: safety, then the one retry of the safe
// speed, then exhaustion; the first reason stays the fault.
void tst_Supervision::safeRetryThenExhaustion()
{
    Guard guard;
    auto& p = guard.probe;
    QTest::ignoreMessage(QtInfoMsg, "[RFU_GUARD] RPM requested; unconfirmed= 3000");
    p.requestRpm(3000);
    QCoreApplication::processEvents(); // the simulated reading confirms 3000
    p.confirmationSince() = 1000; // then the fan drifted

    QTest::ignoreMessage(QtInfoMsg, kSafeRequested);
    QTest::ignoreMessage(QtWarningMsg, "[RFU_GUARD] safety requested: Fan feedback did not confirm requested RPM");
    p.superviseAt(1301);
    QCOMPARE(p.requestedRpm(), 6000);
    p.confirmationSince() = 2000; // the simulated fan would confirm at once; keep it pending

    QSignalSpy readings(&p.backend(), &KevoFanBackend::reading);
    QTest::ignoreMessage(QtWarningMsg, "[RFU_GUARD] safety requested: Safe fan RPM was not confirmed");
    p.superviseAt(2301);
    QVERIFY(p.safeRetryUsed());
    QCOMPARE(p.confirmationSince(), qint64(2301));
    QVERIFY(!p.recoveryExhausted());
    // The retry forces the safe speed afresh at once.
    QVERIFY(readings.wait(1000));
    QCOMPARE(readings.last(), (QList<QVariant> { 6000, 6000 }));
    p.confirmationSince() = 3000;

    QTest::ignoreMessage(QtWarningMsg, "[RFU_GUARD] safety requested: Safe fan RPM remains unconfirmed after retry");
    QTest::ignoreMessage(QtCriticalMsg, "[RFU_GUARD] safe output unconfirmed; feedback retry exhausted");
    p.superviseAt(3301);
    QVERIFY(p.recoveryExhausted());
    QCOMPARE(p.faultReason(), QStringLiteral("Fan feedback did not confirm requested RPM"));

    // Exhausted: later ticks raise nothing more.
    p.superviseAt(100000);
    QCOMPARE(p.faultReason(), QStringLiteral("Fan feedback did not confirm requested RPM"));
}

void tst_Supervision::safetyRequest_data()
{
    QTest::addColumn<int>("requested"); // confirmed before the request
    QTest::addColumn<bool>("recordFault");

    QTest::newRow("from the safe speed, recording a fault") << 6000 << true;
    QTest::newRow("from another speed, recording a fault") << 3000 << true;
    QTest::newRow("from another speed, without a fault") << 3000 << false;
}

void tst_Supervision::safetyRequest()
{
    QFETCH(int, requested);
    QFETCH(bool, recordFault);

    Guard guard;
    auto& p = guard.probe;
    QTest::ignoreMessage(
        QtInfoMsg, qPrintable(QStringLiteral("[RFU_GUARD] RPM requested; unconfirmed= %1").arg(requested)));
    p.requestRpm(requested);
    QCoreApplication::processEvents();
    p.leaseToken() = QStringLiteral("lease");
    p.leaseDeadline() = 5000;
    p.sampleDeadlineArmed() = true;
    p.confirmationSince() = 1; // an older, still open deadline

    QSignalSpy readings(&p.backend(), &KevoFanBackend::reading);
    if (requested != 6000)
        QTest::ignoreMessage(QtInfoMsg, kSafeRequested);
    QTest::ignoreMessage(QtWarningMsg, "[RFU_GUARD] safety requested: Control released");
    const qint64 before = p.now();
    p.requestSafety(QStringLiteral("Control released"), recordFault);

    QCOMPARE(p.faultReason(), recordFault ? QStringLiteral("Control released") : QString());
    QVERIFY(p.leaseToken().isEmpty());
    QCOMPARE(p.leaseDeadline(), qint64(-1));
    QVERIFY(!p.sampleDeadlineArmed());
    QVERIFY(p.awaitingSafeConfirmation());
    QVERIFY(p.warmupStopUsed());
    QCOMPARE(p.requestedRpm(), 6000);
    if (requested == 6000)
        QCOMPARE(p.confirmationSince(), qint64(1)); // kept; the backend reads the fan again instead
    else
        QVERIFY(p.confirmationSince() >= before); // the safe speed gets a full settling period
    QVERIFY(readings.wait(1000));
    QCOMPARE(readings.last(), (QList<QVariant> { 6000, 6000 }));

    // A later fault never replaces the first.
    QTest::ignoreMessage(QtWarningMsg, "[RFU_GUARD] safety requested: Fan feedback expired");
    p.requestSafety(QStringLiteral("Fan feedback expired"), true);
    QCOMPARE(
        p.faultReason(), recordFault ? QStringLiteral("Control released") : QStringLiteral("Fan feedback expired"));
}

void tst_Supervision::backendFailures()
{
    Guard guard;
    auto& p = guard.probe;
    QTest::ignoreMessage(QtInfoMsg, "[RFU_GUARD] RPM requested; unconfirmed= 3000");
    p.requestRpm(3000);
    QCoreApplication::processEvents();
    QVERIFY(p.lastFeedbackAt() >= 0);

    QSignalSpy readings(&p.backend(), &KevoFanBackend::reading);
    QTest::ignoreMessage(QtInfoMsg, kSafeRequested);
    QTest::ignoreMessage(QtWarningMsg, "[RFU_GUARD] safety requested: Fan command exited unsuccessfully");
    const qint64 before = p.now();
    p.failed(QStringLiteral("Fan command exited unsuccessfully"));
    QCOMPARE(p.lastFeedbackAt(), qint64(-1));
    QCOMPARE(p.faultReason(), QStringLiteral("Fan command exited unsuccessfully"));
    QVERIFY(p.safeRetryUsed());
    QVERIFY(p.confirmationSince() >= before);
    QVERIFY(!p.recoveryExhausted());
    // The safe set from requestRpm, then the forced retry on the next pass.
    QTRY_COMPARE_WITH_TIMEOUT(readings.count(), 2, 1000);

    QTest::ignoreMessage(QtWarningMsg, "[RFU_GUARD] safety requested: Fan RPM response is invalid");
    QTest::ignoreMessage(QtCriticalMsg, "[RFU_GUARD] safe output unconfirmed; retry exhausted");
    p.failed(QStringLiteral("Fan RPM response is invalid"));
    QVERIFY(p.recoveryExhausted());
    QCOMPARE(p.faultReason(), QStringLiteral("Fan command exited unsuccessfully"));
}

void tst_Supervision::periodicRefresh_data()
{
    QTest::addColumn<qint64>("nextRefreshAt");
    QTest::addColumn<bool>("exhausted");
    QTest::addColumn<bool>("refreshes");

    QTest::newRow("first tick refreshes at once") << qint64(0) << false << true;
    QTest::newRow("due exactly now") << qint64(500) << false << true;
    QTest::newRow("one millisecond early") << qint64(501) << false << false;
    QTest::newRow("exhausted guard stops polling") << qint64(0) << true << false;
}

void tst_Supervision::periodicRefresh()
{
    QFETCH(qint64, nextRefreshAt);
    QFETCH(bool, exhausted);
    QFETCH(bool, refreshes);

    Guard guard;
    auto& p = guard.probe;
    QTest::ignoreMessage(QtInfoMsg, "[RFU_GUARD] RPM requested; unconfirmed= 3000");
    p.requestRpm(3000);
    QCoreApplication::processEvents();
    p.nextRefreshAt() = nextRefreshAt;
    p.recoveryExhausted() = exhausted;

    QSignalSpy readings(&p.backend(), &KevoFanBackend::reading);
    p.superviseAt(500);
    QCoreApplication::processEvents();
    QCOMPARE(readings.count(), refreshes ? 1 : 0);
    QCOMPARE(p.nextRefreshAt(), refreshes ? qint64(1500) : nextRefreshAt);
}

QTEST_GUILESS_MAIN(tst_Supervision)
#include "tst_supervision.moc"
