// The fan backend driving kevo-sim (tables/fan.txt).
#include "backend/kevofanbackend.h"
#include "harness.h"

class tst_Backend : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void commands_data() { addRows("fan"); }
    void commands();
};

// The test's fan commands still running or not yet reaped.
static QString runningChildren()
{
    QFile children(QString("/proc/self/task/%1/children").arg(getpid()));
    return children.open(QIODevice::ReadOnly) ? QString(children.readAll()).trimmed() : "unknown";
}

void tst_Backend::commands()
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
    const auto logged = [&] { // the commands kevo-sim has begun, in the commands column's terms
        QFile log(dir.filePath("fan.log"));
        return log.open(QIODevice::ReadOnly)
            ? QString(log.readAll()).replace("--set-fan-rpm ", "s").replace("--fan-rpm", "r").simplified()
            : QString();
    };
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
        else if (step.startsWith("until "))
            QVERIFY2(QTest::qWaitFor([&] { return logged() == step.mid(6); }, 5000), qPrintable(logged()));
        else if (step.startsWith("phase ")) // until the monotonic clock, the timers' clock, is N ms into a second
            for (timespec now; clock_gettime(CLOCK_MONOTONIC, &now),
                 (now.tv_nsec / 1000000 + 1000 - step.mid(6).toInt()) % 1000 >= 10;)
                QThread::usleep(100);
        else if (step == "stall") { // the event loop stopped past the command's limit and the overdue grace
            QThread::msleep(1000 + 1000 + 50);
            seen << (backend.isCommandOverdue() ? "overdue" : "on time");
        } else
            QFAIL(qPrintable("unknown step: " + step));
    }
    QTRY_COMPARE_WITH_TIMEOUT(seen.join(' '), signals, 5000);
    // Nothing more: every command has ended and been reaped, and its end handled, so no signal
    // can follow; a command started after the last signal would show here.
    QVERIFY2(QTest::qWaitFor([] { return runningChildren().isEmpty(); }, 5000), qPrintable(runningChildren()));
    QCoreApplication::processEvents();
    QCOMPARE(runningChildren(), "");
    QCOMPARE(seen.join(' '), signals);
    QCOMPARE(logged(), commands);
}

QTEST_GUILESS_MAIN(tst_Backend)
#include "tst_backend.moc"
