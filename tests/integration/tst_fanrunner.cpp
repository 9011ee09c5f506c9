// The fan backend driving a real fan program: kevo-sim, started as a child for every command.
#include "backend/kevofanbackend.h"

#include "kevosimfan.h"
#include "processrun.h"
#include "profilefixtures.h"

#include <QSignalSpy>
#include <QtTest>

namespace {

// A backend in real mode whose fan program is kevo-sim, with a 300 ms command
// time limit. MaximumRpm 6000.
struct RealBackend {
    KevoSimFan fan;
    DeviceProfile profile;
    std::unique_ptr<KevoFanBackend> backend;
    std::unique_ptr<QSignalSpy> readings;
    std::unique_ptr<QSignalSpy> failures;

    explicit RealBackend(const QString& program = kevoSimProgram())
        : profile(passingDeviceProfile())
    {
        fan.exportToThisProcess();
        profile.BackendProgram = program;
        profile.CommandTimeoutMs = 300;
        backend = std::make_unique<KevoFanBackend>(profile, false, nullptr);
        readings = std::make_unique<QSignalSpy>(backend.get(), &KevoFanBackend::reading);
        failures = std::make_unique<QSignalSpy>(backend.get(), &KevoFanBackend::failed);
    }

    QStringList readingList() const
    {
        QStringList list;
        for (const auto& arguments : *readings)
            list << QStringLiteral("%1/%2").arg(arguments.at(0).toInt()).arg(arguments.at(1).toInt());
        return list;
    }
    QString firstFailure() const { return failures->isEmpty() ? QString() : failures->first().at(0).toString(); }
};

} // namespace

class tst_FanRunner : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void setThenRead();
    void targetChangedWhileSetRuns();
    void targetChangedWhileReadRuns();
    void failures_data();
    void failures();
    void missingProgram();
    void forcedSafeSpeedOvertakesRunningCommand();
    void forcedSafeSpeedAfterTimeout();
};

void tst_FanRunner::setThenRead()
{
    RealBackend fan;
    fan.backend->setTargetRpm(1500);
    QTRY_COMPARE_WITH_TIMEOUT(fan.readingList(), QStringList { "1500/1500" }, 5000);
    QCOMPARE(fan.fan.commandLog(), (QStringList { "--set-fan-rpm 1500", "--fan-rpm" }));

    // An applied target is only read again.
    fan.backend->setTargetRpm(1500);
    fan.backend->refresh(); // busy: ignored
    QTRY_COMPARE_WITH_TIMEOUT(fan.readings->count(), 2, 5000);
    QCOMPARE(fan.fan.commandLog(), (QStringList { "--set-fan-rpm 1500", "--fan-rpm", "--fan-rpm" }));
    QVERIFY(fan.failures->isEmpty());
}

void tst_FanRunner::targetChangedWhileSetRuns()
{
    RealBackend fan;
    fan.fan.setControl("lag-ms=0\ndelay-ms=150\n");
    fan.backend->setTargetRpm(1500);
    QTest::qWait(50);
    fan.backend->setTargetRpm(1800);
    fan.backend->setTargetRpm(2000);
    QVERIFY(!fan.backend->isCommandOverdue());

    // Only the newest target survives; 1800 is never sent.
    QTRY_COMPARE_WITH_TIMEOUT(fan.readingList(), QStringList { "2000/2000" }, 5000);
    QCOMPARE(fan.fan.commandLog(), (QStringList { "--set-fan-rpm 1500", "--set-fan-rpm 2000", "--fan-rpm" }));
}

void tst_FanRunner::targetChangedWhileReadRuns()
{
    RealBackend fan;
    fan.backend->setTargetRpm(1500);
    QTRY_COMPARE_WITH_TIMEOUT(fan.readings->count(), 1, 5000);
    fan.fan.setControl("lag-ms=0\ndelay-ms=150\n");
    fan.backend->refresh();
    QTest::qWait(50);
    fan.backend->setTargetRpm(1800);

    // The running read is reported first, then the new target is set and read.
    QTRY_COMPARE_WITH_TIMEOUT(fan.readingList(), (QStringList { "1500/1500", "1500/1500", "1800/1800" }), 5000);
    QCOMPARE(fan.fan.commandLog(),
        (QStringList { "--set-fan-rpm 1500", "--fan-rpm", "--fan-rpm", "--set-fan-rpm 1800", "--fan-rpm" }));
}

void tst_FanRunner::failures_data()
{
    QTest::addColumn<QByteArray>("control");
    QTest::addColumn<QString>("reason"); // empty: the read succeeds with 1500

    const QString unsuccessful = QStringLiteral("Fan command exited unsuccessfully");
    const QString tooLarge = QStringLiteral("Fan output exceeds limit");
    const QString invalid = QStringLiteral("Fan RPM response is invalid");
    QTest::newRow("read exits with 1") << QByteArray("fault=fail\nfaults-apply-to=read\n") << unsuccessful;
    QTest::newRow("set exits with 1") << QByteArray("fault=fail\nfaults-apply-to=set\n") << unsuccessful;
    QTest::newRow("read crashes") << QByteArray("fault=crash\nfaults-apply-to=read\n") << unsuccessful;
    QTest::newRow("garbage reply") << QByteArray("fault=garbage\n") << invalid;
    QTest::newRow("reply with extra text") << QByteArray("fault=extra-text\n") << invalid;
    QTest::newRow("speed out of range") << QByteArray("fault=out-of-range\n") << invalid;
    QTest::newRow("exactly 8192 bytes") << QByteArray("fault=oversize\noutput-bytes=8192\n") << QString();
    QTest::newRow("8193 bytes at the end") << QByteArray("fault=oversize\noutput-bytes=8193\n") << tooLarge;
    QTest::newRow("8193 bytes while running") << QByteArray("fault=oversize-hang\noutput-bytes=8193\n") << tooLarge;
    QTest::newRow("set output is bounded too")
        << QByteArray("fault=oversize\noutput-bytes=8193\nfaults-apply-to=set\n") << tooLarge;
    QTest::newRow("standard error never fails a command") << QByteArray("fault=flood-stderr\n") << QString();
    QTest::newRow("read hangs past the time limit")
        << QByteArray("fault=hang\nfaults-apply-to=read\n") << "Fan command timed out; output unconfirmed";
    QTest::newRow("lag leaves the speed short of the setpoint") << QByteArray("lag-ms=100000\n") << "slow";
}

void tst_FanRunner::failures()
{
    QFETCH(QByteArray, control);
    QFETCH(QString, reason);

    RealBackend fan;
    fan.fan.setControl("lag-ms=0\n" + control);
    fan.backend->setTargetRpm(1500);

    if (reason.isEmpty()) {
        QTRY_COMPARE_WITH_TIMEOUT(fan.readingList(), QStringList { "1500/1500" }, 5000);
    } else if (reason == QLatin1String("slow")) {
        // Not an error: the reading shows the fan still spinning up.
        QTRY_COMPARE_WITH_TIMEOUT(fan.readings->count(), 1, 5000);
        QVERIFY(fan.readings->first().at(0).toInt() < 100);
        QCOMPARE(fan.readings->first().at(1).toInt(), 1500);
    } else {
        QTRY_COMPARE_WITH_TIMEOUT(fan.failures->count(), 1, 5000);
        QCOMPARE(fan.firstFailure(), reason);
        QVERIFY(fan.readings->isEmpty());
    }
    // Nothing more happens by itself: no retry, no second report.
    const int commands = fan.fan.commandLog().size();
    fan.backend->refresh();
    fan.backend->setTargetRpm(1800);
    QTest::qWait(400);
    if (reason.isEmpty() || reason == QLatin1String("slow")) {
        QVERIFY(fan.fan.commandLog().size() > commands);
    } else {
        QCOMPARE(fan.fan.commandLog().size(), commands);
        QCOMPARE(fan.failures->count(), 1);
    }
}

void tst_FanRunner::missingProgram()
{
    RealBackend fan(QStringLiteral("/nonexistent/kevo"));
    fan.backend->setTargetRpm(1500);
    QTRY_COMPARE_WITH_TIMEOUT(fan.failures->count(), 1, 5000);
    const QString reason = fan.firstFailure();
    QVERIFY2(
        reason.startsWith(QLatin1String("Fan command failed to start: ")) && reason.size() > 29, qPrintable(reason));
    // No end handling follows a start failure, and the time limit does not fire later.
    QTest::qWait(500);
    QCOMPARE(fan.failures->count(), 1);
    QVERIFY(!fan.backend->isCommandOverdue());
}

void tst_FanRunner::forcedSafeSpeedOvertakesRunningCommand()
{
    RealBackend fan;
    fan.fan.setControl("lag-ms=0\ndelay-ms=150\nfault=fail\n");
    fan.backend->setTargetRpm(1500);
    QTest::qWait(50);
    fan.backend->forceSafeRpm();
    fan.fan.setControl("lag-ms=0\n");

    // The failing set's end is not judged; the safe set follows it.
    QTRY_COMPARE_WITH_TIMEOUT(fan.readingList(), QStringList { "6000/6000" }, 5000);
    QVERIFY(fan.failures->isEmpty());
    QCOMPARE(fan.fan.commandLog(), (QStringList { "--set-fan-rpm 1500", "--set-fan-rpm 6000", "--fan-rpm" }));
}

void tst_FanRunner::forcedSafeSpeedAfterTimeout()
{
    RealBackend fan;
    fan.backend->setTargetRpm(1500);
    QTRY_COMPARE_WITH_TIMEOUT(fan.readings->count(), 1, 5000);
    fan.fan.setControl("lag-ms=0\nfault=hang\n");
    fan.backend->refresh();
    QTest::qWait(50);
    fan.backend->forceSafeRpm();
    fan.fan.setControl("lag-ms=0\n");

    // The hanging read is still killed and reported; at its end the safe set starts.
    QTRY_COMPARE_WITH_TIMEOUT(fan.failures->count(), 1, 5000);
    QCOMPARE(fan.firstFailure(), QStringLiteral("Fan command timed out; output unconfirmed"));
    QTRY_COMPARE_WITH_TIMEOUT(fan.readingList(), (QStringList { "1500/1500", "6000/6000" }), 5000);
    QCOMPARE(fan.fan.commandLog().mid(2), (QStringList { "--fan-rpm", "--set-fan-rpm 6000", "--fan-rpm" }));
}

QTEST_GUILESS_MAIN(tst_FanRunner)
#include "tst_fanrunner.moc"
