// The fan backend's choice of commands and its simulated fan.
#include "backend/kevofanbackend.h"

#include "profilefixtures.h"

#include <QSignalSpy>
#include <QtTest>
#include <memory>

class tst_KevoFanBackend : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void simulatedReadings_data();
    void simulatedReadings();
    void noReadingAfterDestruction();
};

void tst_KevoFanBackend::simulatedReadings_data()
{
    QTest::addColumn<QStringList>("operations"); // "set:N", "refresh", "force"
    QTest::addColumn<QStringList>("readings"); // "rpm/confirmedSetpoint", in arrival order

    QTest::newRow("refresh before any target") << QStringList { "refresh" } << QStringList();
    QTest::newRow("negative target begins nothing") << QStringList { "set:-1", "refresh" } << QStringList();
    QTest::newRow("target then refresh") << QStringList { "set:1500", "refresh" }
                                         << QStringList { "1500/1500", "1500/1500" };
    QTest::newRow("two targets in one pass keep their own values")
        << QStringList { "set:1500", "set:1800" } << QStringList { "1500/1500", "1800/1800" };
    QTest::newRow("applied target again")
        << QStringList { "set:1500", "set:1500" } << QStringList { "1500/1500", "1500/1500" };
    QTest::newRow("forced safe speed") << QStringList { "set:1500", "force" }
                                       << QStringList { "1500/1500", "6000/6000" };
    QTest::newRow("forced safe speed without a target") << QStringList { "force" } << QStringList { "6000/6000" };
}

void tst_KevoFanBackend::simulatedReadings()
{
    QFETCH(QStringList, operations);
    QFETCH(QStringList, readings);

    KevoFanBackend backend(passingDeviceProfile(), true, nullptr);
    QSignalSpy failures(&backend, &KevoFanBackend::failed);
    QStringList seen;
    connect(&backend, &KevoFanBackend::reading, this,
        [&seen](int rpm, int setpoint) { seen << QStringLiteral("%1/%2").arg(rpm).arg(setpoint); });

    for (const QString& operation : operations) {
        if (operation.startsWith(QLatin1String("set:")))
            backend.setTargetRpm(operation.mid(4).toInt());
        else if (operation == QLatin1String("refresh"))
            backend.refresh();
        else
            backend.forceSafeRpm();
    }
    // Never inside the call that began the command.
    QVERIFY(seen.isEmpty());
    QCoreApplication::processEvents();
    QCOMPARE(seen, readings);
    QCOMPARE(failures.count(), 0);
    QVERIFY(!backend.isCommandOverdue());
}

void tst_KevoFanBackend::noReadingAfterDestruction()
{
    int readings = 0;
    {
        auto backend = std::make_unique<KevoFanBackend>(passingDeviceProfile(), true, nullptr);
        connect(backend.get(), &KevoFanBackend::reading, this, [&readings] { ++readings; });
        backend->setTargetRpm(1500);
    }
    QCoreApplication::processEvents();
    QCOMPARE(readings, 0);
}

QTEST_GUILESS_MAIN(tst_KevoFanBackend)
#include "tst_kevofanbackend.moc"
