// A client talking to a real ostrel process in simulation, as a client written from the README would.
#include "processrun.h"
#include "testclient.h"

#include <QTemporaryDir>
#include <QtTest>

class tst_ProtocolProcess : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void leaseSteerReleaseReconnect();
};

void tst_ProtocolProcess::leaseSteerReleaseReconnect()
{
    QTemporaryDir dir;
    const QString socket = dir.filePath(QStringLiteral("run/fan.sock"));
    BackgroundProcess guard(ostrelProgram(),
        { QStringLiteral("--simulate"), QStringLiteral("--profile"), exampleProfilePath(), QStringLiteral("--socket"),
            socket });
    QVERIFY(guard.waitForListening(socket));

    {
        TestClient client;
        QVERIFY(client.join(socket));
        QCOMPARE(statusShapeProblem(client.statuses().first(), true), QString());
        QVERIFY(client.waitForReady());
        QVERIFY(client.hello());

        // Steer the simulated fan down and watch it follow.
        QVERIFY(client.controlAccepted({ { "rpm", 4500 } }));
        QVERIFY(client.waitForStatus(
            [](const QJsonObject& s) { return s.value("rpm").toInt() == 4500 && s.value("rpmValid").toBool(); }));
        QVERIFY(client.controlAccepted({ { "rpm", 3000 } }));

        client.release();
        QVERIFY(client.waitForStatus([](const QJsonObject& s) {
            return s.value("lease").toString().isEmpty() && s.value("requestedRpm").toInt() == 6000;
        }));
        QVERIFY(client.waitForReady());
        QVERIFY(client.hello());
        QVERIFY(client.controlAccepted({ { "rpm", 5000 } }));
    }

    // A new connection after the lease holder left leases again.
    TestClient again;
    QVERIFY(again.join(socket));
    QVERIFY(again.waitForReady());
    QVERIFY(again.hello());
    // The sample stream goes on where it was: its sequence never goes back.
    again.nextSampleSequence = 100;
    QVERIFY(again.controlAccepted());
    QCOMPARE(statusShapeProblem(again.lastStatus(), true), QString());

    const ProcessResult run = guard.kill();
    QVERIFY(run.standardOutput.isEmpty());
    const QStringList lines = run.errorLines();
    QCOMPARE(lines.count(QStringLiteral("[RFU_GUARD] safety requested: Control released")), 1);
    QCOMPARE(lines.count(QStringLiteral("[RFU_GUARD] safety requested: Client disconnected")), 1);
    QVERIFY(lines.filter(QStringLiteral("safety requested")).size() == 2);
}

QTEST_GUILESS_MAIN(tst_ProtocolProcess)
#include "tst_protocolprocess.moc"
