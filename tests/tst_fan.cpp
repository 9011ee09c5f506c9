// The fan backend driving kevo-sim: the choice between set and read, the command runner's
// limits and every failure it reports (tables/fan.txt).
#include "backend/kevofanbackend.h"
#include "harness.h"

#include <QThread>
#include <QtTest>

class tst_Fan : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void commands_data() { addRows("fan", { "control", "steps", "signals", "commands" }); }
    void commands();
    void hungCommandIsOverdue();
};

void tst_Fan::commands()
{
    QFETCH(QString, control);
    QFETCH(QString, steps);
    QFETCH(QString, signals);
    QFETCH(QString, commands);
    QTemporaryDir dir;
    useFan(dir, control);
    const QString program = control.startsWith("program=") ? control.section('=', 1) : KEVO_SIM_PROGRAM;
    KevoFanBackend backend(loadedProfile(QString(kShortTimings) + ";BackendProgram=" + program), false, nullptr);
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
        else
            QTest::qWait(100);
    }
    QTRY_COMPARE_WITH_TIMEOUT(seen.join(' '), signals, 5000);
    QTest::qWait(300); // and nothing more
    QCOMPARE(seen.join(' '), signals);
    QFile log(dir.filePath("fan.log"));
    log.open(QIODevice::ReadOnly);
    QCOMPARE(QString(log.readAll()).replace("--set-fan-rpm ", "s").replace("--fan-rpm", "r").simplified(), commands);
}

void tst_Fan::hungCommandIsOverdue()
{
    QTemporaryDir dir;
    useFan(dir, "fault=hang");
    KevoFanBackend backend(loadedProfile(QString(kShortTimings) + ";BackendProgram=" KEVO_SIM_PROGRAM), false, nullptr);
    backend.setTargetRpm(3000);
    QVERIFY(!backend.isCommandOverdue());
    // With the event loop stalled its time limit cannot end it: a second later it shows.
    QThread::msleep(200 + 1000 + 50);
    QVERIFY(backend.isCommandOverdue());
    QSignalSpy failed(&backend, &KevoFanBackend::failed);
    QVERIFY(failed.wait(5000));
    QTRY_VERIFY(!backend.isCommandOverdue());
}

QTEST_GUILESS_MAIN(tst_Fan)
#include "tst_fan.moc"
