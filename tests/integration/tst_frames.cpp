// The control socket and its frame layer, against an in-process guard over a real local socket.
#include "runningguard.h"
#include "testclient.h"

#include <QtTest>

namespace {

const QByteArray kHello = R"({"version":1,"type":"hello","serial":"SN-0001"})";

QByteArray padded(const QByteArray& frame, int size) { return frame + QByteArray(size - frame.size(), ' '); }

} // namespace

class tst_Frames : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void frameContent_data();
    void frameContent();
    void framesAcrossWrites();
    void badFrameEndsTheRead();
    void framesAfterARefusedMessage();
    void secondClientGetsNothing();
    void disconnectingClients();
    void clientThatStopsReading();
    void status();
};

void tst_Frames::frameContent_data()
{
    QTest::addColumn<QByteArray>("bytes");
    QTest::addColumn<QByteArray>("completion"); // sent later, after checking that the guard waits
    QTest::addColumn<QString>("reason"); // empty: the hello is handled and leased

    const QString tooLarge = QStringLiteral("IPC frame too large");
    const QString malformed = QStringLiteral("Malformed IPC frame");
    QTest::newRow("content of exactly 8192 bytes") << padded(kHello, 8192) + '\n' << QByteArray() << "";
    QTest::newRow("content of 8193 bytes") << padded(kHello, 8193) + '\n' << QByteArray() << tooLarge;
    QTest::newRow("8192 bytes without a line feed wait") << padded(kHello, 8192) << QByteArray("\n") << "";
    QTest::newRow("8193 bytes without a line feed") << padded(kHello, 8193) << QByteArray() << tooLarge;
    QTest::newRow("carriage return before the line feed") << kHello + "\r\n" << QByteArray() << "";
    QTest::newRow("bare line feed") << QByteArray("\n") << QByteArray() << malformed;
    QTest::newRow("array") << QByteArray("[1]\n") << QByteArray() << malformed;
    QTest::newRow("number") << QByteArray("1\n") << QByteArray() << malformed;
    QTest::newRow("string") << QByteArray("\"hello\"\n") << QByteArray() << malformed;
    QTest::newRow("object followed by text") << kHello + " x\n" << QByteArray() << malformed;
    QTest::newRow("object over two lines")
        << QByteArray("{\"version\":1,\n\"type\":\"hello\"}\n") << QByteArray() << malformed;
    QTest::newRow("invalid UTF-8") << QByteArray("{\"type\":\"\xff\"}\n") << QByteArray() << malformed;
}

void tst_Frames::frameContent()
{
    QFETCH(QByteArray, bytes);
    QFETCH(QByteArray, completion);
    QFETCH(QString, reason);

    ServedClient served;
    QVERIFY(served.open());
    RunningGuard& guard = served.guard;
    TestClient& client = served.client;

    if (!reason.isEmpty()) {
        QTest::ignoreMessage(QtWarningMsg, qPrintable(QStringLiteral("[RFU_GUARD] safety requested: ") + reason));
        client.send(bytes);
        QVERIFY(client.waitForStatus([&](const QJsonObject& s) { return isFaultStatus(s, reason); }));
        QVERIFY(client.waitForDisconnected());
        QCOMPARE(guard.probe.faultReason(), reason);
        QCOMPARE(guard.probe.requestedRpm(), 6000);
        return;
    }
    client.send(bytes);
    if (!completion.isEmpty()) {
        QTest::qWait(200);
        QVERIFY(guard.probe.leaseToken().isEmpty());
        QVERIFY(guard.probe.faultReason().isEmpty());
        client.send(completion);
    }
    QVERIFY(client.waitForStatus([](const QJsonObject& s) { return !s.value("lease").toString().isEmpty(); }));
    QVERIFY(guard.probe.faultReason().isEmpty());
}

void tst_Frames::framesAcrossWrites()
{
    ServedClient served;
    QVERIFY(served.open());
    RunningGuard& guard = served.guard;
    TestClient& client = served.client;
    const int before = client.statuses().size();

    // Two frames and the start of a third in one write, handled in order.
    client.send(kHello + '\n' + kHello + '\n' + kHello.left(10));
    QTRY_COMPARE(client.statuses().size(), before + 2);
    const QString lease = client.statuses().at(before).value("lease").toString();
    QVERIFY(!lease.isEmpty());
    // The lease holder's own hello is refused and shows the unchanged token.
    QCOMPARE(client.statuses().at(before + 1).value("lease").toString(), lease);

    client.send(kHello.mid(10) + '\n');
    QTRY_COMPARE(client.statuses().size(), before + 3);
    QCOMPARE(client.lastStatus().value("lease").toString(), lease);
    QVERIFY(guard.probe.faultReason().isEmpty());
}

void tst_Frames::badFrameEndsTheRead()
{
    ServedClient served;
    QVERIFY(served.open());
    RunningGuard& guard = served.guard;
    TestClient& client = served.client;
    const int before = client.statuses().size();

    QTest::ignoreMessage(QtWarningMsg, "[RFU_GUARD] safety requested: Malformed IPC frame");
    client.send("not json\n" + kHello + '\n');
    QVERIFY(client.waitForDisconnected());
    // One status, the refusal's; the hello behind the bad frame was never handled.
    QCOMPARE(client.statuses().size(), before + 1);
    QVERIFY(isFaultStatus(client.lastStatus(), QStringLiteral("Malformed IPC frame")));
    QCOMPARE(client.lastStatus().value("lease").toString(), QString());
    QCOMPARE(guard.probe.faultReason(), QStringLiteral("Malformed IPC frame"));
}

void tst_Frames::framesAfterARefusedMessage()
{
    ServedClient served;
    QVERIFY(served.open());
    RunningGuard& guard = served.guard;
    TestClient& client = served.client;
    const int before = client.statuses().size();

    // The release is refused (no lease); the frames behind it are still
    // handled while the close is pending, but their statuses are not sent.
    QTest::ignoreMessage(QtWarningMsg, "[RFU_GUARD] safety requested: Invalid or expired control lease");
    QTest::ignoreMessage(QtWarningMsg, "[RFU_GUARD] safety requested: Unsupported protocol");
    client.send(R"({"version":1,"type":"release"})"
                "\n"
        + kHello + "\n" + R"({"version":2})" + "\n");
    QVERIFY(client.waitForDisconnected());
    QCOMPARE(client.statuses().size(), before + 1);
    QVERIFY(isFaultStatus(client.lastStatus(), QStringLiteral("Invalid or expired control lease")));
    QCOMPARE(guard.probe.faultReason(), QStringLiteral("Invalid or expired control lease"));
    QVERIFY(guard.probe.leaseToken().isEmpty());
}

void tst_Frames::secondClientGetsNothing()
{
    RunningGuard guard;
    QVERIFY(guard.start());
    TestClient first;
    QVERIFY(first.connectTo(guard.socketPath()));
    QVERIFY(first.waitForReady());
    QVERIFY(first.hello());

    TestClient second;
    QVERIFY(second.connectTo(guard.socketPath()));
    QVERIFY(second.waitForDisconnected());
    QVERIFY(second.statuses().isEmpty());

    QCOMPARE(first.socket().state(), QLocalSocket::ConnectedState);
    QCOMPARE(guard.probe.leaseToken(), first.lease);
    QVERIFY(first.controlAccepted());
}

void tst_Frames::disconnectingClients()
{
    RunningGuard guard;
    QVERIFY(guard.start());

    // Without a lease, leaving changes nothing.
    {
        TestClient visitor;
        QVERIFY(visitor.connectTo(guard.socketPath()));
        QVERIFY(visitor.waitForReady());
    }
    QTRY_VERIFY(guard.probe.client() == nullptr);
    QVERIFY(!guard.probe.awaitingSafeConfirmation());

    // The lease holder leaving forces the safe speed but latches no fault.
    {
        TestClient holder;
        QVERIFY(holder.connectTo(guard.socketPath()));
        QVERIFY(holder.waitForReady());
        QVERIFY(holder.hello());
        QVERIFY(holder.controlAccepted({ { "rpm", 3000 } }));
        QTest::ignoreMessage(QtInfoMsg, "[RFU_GUARD] RPM requested; unconfirmed= 6000");
        QTest::ignoreMessage(QtWarningMsg, "[RFU_GUARD] safety requested: Client disconnected");
    }
    QTRY_VERIFY(guard.probe.client() == nullptr);
    QCOMPARE(guard.probe.requestedRpm(), 6000);
    QVERIFY(guard.probe.faultReason().isEmpty());
    QVERIFY(guard.probe.leaseToken().isEmpty());

    // The next client leases again once the safe speed is confirmed.
    TestClient next;
    QVERIFY(next.connectTo(guard.socketPath()));
    QVERIFY(next.waitForReady());
    QVERIFY(next.hello());
}

void tst_Frames::clientThatStopsReading()
{
    RunningGuard guard;
    QVERIFY(guard.start());
    QLocalSocket reader;
    reader.setReadBufferSize(1024); // never read: the guard's statuses pile up
    reader.connectToServer(guard.socketPath());
    QVERIFY(reader.waitForConnected(3000));
    QTRY_VERIFY(guard.probe.client() != nullptr);

    // Every hello is answered with a status; the first also grants the lease.
    QTest::ignoreMessage(QtWarningMsg, "[RFU_GUARD] safety requested: Client disconnected");
    QByteArray hellos;
    for (int i = 0; i < 4000; ++i)
        hellos += kHello + '\n';
    reader.write(hellos);
    QTRY_VERIFY_WITH_TIMEOUT(guard.probe.client() == nullptr, 10000);
    QVERIFY(guard.probe.faultReason().isEmpty());
    QCOMPARE(guard.probe.requestedRpm(), 6000);
}

void tst_Frames::status()
{
    RunningGuard guard;
    QVERIFY(guard.start());
    // As before the first reading.
    guard.probe.lastFeedbackAt() = -1;
    guard.probe.lastRpm() = 0;

    TestClient client;
    QVERIFY(client.connectTo(guard.socketPath()));
    QVERIFY(client.waitForStatus([](const QJsonObject&) { return true; }));
    QJsonObject status = client.statuses().first();
    QCOMPARE(statusShapeProblem(status, true), QString());
    QCOMPARE(status.value("session").toString(), guard.probe.guardSession());
    QCOMPARE(status.value("serial").toString(), QStringLiteral("SN-0001"));
    QCOMPARE(status.value("commandSequence").toString(), QStringLiteral("0"));
    QCOMPARE(status.value("requestedRpm").toInt(), 6000);
    QCOMPARE(status.value("ageMs").toInt(), -1);
    QCOMPARE(status.value("rpmValid").toBool(), false);
    QCOMPARE(status.value("rpm").toInt(), 0);
    QCOMPARE(status.value("ready").toBool(), true);

    // A reading makes the feedback valid; a backend failure takes it away
    // again but keeps the last speed, and the first fault reason stays.
    guard.probe.backend().refresh();
    QVERIFY(client.waitForStatus([](const QJsonObject& s) { return s.value("rpmValid").toBool(); }));
    QVERIFY(client.hello());
    QVERIFY(client.controlAccepted({ { "rpm", 3000 } }));
    QVERIFY(client.waitForStatus([](const QJsonObject& s) { return s.value("rpm").toInt() == 3000; }, 3000, &status));
    QVERIFY(status.value("rpmValid").toBool());
    QVERIFY(status.value("ageMs").toInt() >= 0);
    QCOMPARE(status.value("commandSequence").toString(), QStringLiteral("1"));

    QTest::ignoreMessage(QtInfoMsg, "[RFU_GUARD] RPM requested; unconfirmed= 6000");
    QTest::ignoreMessage(QtWarningMsg, "[RFU_GUARD] safety requested: Fan command exited unsuccessfully");
    guard.probe.failed(QStringLiteral("Fan command exited unsuccessfully"));
    QVERIFY(client.waitForStatus([](const QJsonObject& s) { return s.value("fault").toBool(); }, 3000, &status));
    QCOMPARE(statusShapeProblem(status, true), QString());
    QCOMPARE(status.value("ageMs").toInt(), -1);
    QCOMPARE(status.value("rpmValid").toBool(), false);
    QCOMPARE(status.value("rpm").toInt(), 3000);
    QCOMPARE(status.value("lease").toString(), QString());
    QCOMPARE(status.value("ready").toBool(), false);

    QTest::ignoreMessage(QtWarningMsg, "[RFU_GUARD] safety requested: Fan RPM response is invalid");
    QTest::ignoreMessage(QtCriticalMsg, "[RFU_GUARD] safe output unconfirmed; retry exhausted");
    guard.probe.failed(QStringLiteral("Fan RPM response is invalid"));
    QVERIFY(client.waitForStatus([](const QJsonObject&) { return true; }, 3000, &status));
    QCOMPARE(status.value("reason").toString(), QStringLiteral("Fan command exited unsuccessfully"));
}

QTEST_GUILESS_MAIN(tst_Frames)
#include "tst_frames.moc"
