// Session messages and the control lease, against an in-process guard over a real local socket.
#include "runningguard.h"
#include "testclient.h"

#include <QtTest>
#include <functional>

using Arrange = std::function<void(RfuFanGuardServiceProbe&)>;
Q_DECLARE_METATYPE(Arrange)

namespace {

QByteArray safetyLine(const QString& reason) { return "[RFU_GUARD] safety requested: " + reason.toUtf8(); }

} // namespace

class tst_Session : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void version_data();
    void version();
    void refusedHello_data();
    void refusedHello();
    void tokensAndRelease();
    void leaseRefusals_data();
    void leaseRefusals();
    void expiry();
};

void tst_Session::version_data()
{
    QTest::addColumn<QByteArray>("frame");
    QTest::addColumn<bool>("accepted");

    QTest::newRow("integer 1") << QByteArray(R"({"version":1,"type":"hello","serial":"SN-0001"})") << true;
    QTest::newRow("1.0") << QByteArray(R"({"version":1.0,"type":"hello","serial":"SN-0001"})") << true;
    QTest::newRow("1e0") << QByteArray(R"({"version":1e0,"type":"hello","serial":"SN-0001"})") << true;
    QTest::newRow("string 1") << QByteArray(R"({"version":"1","type":"hello","serial":"SN-0001"})") << false;
    QTest::newRow("2") << QByteArray(R"({"version":2,"type":"hello","serial":"SN-0001"})") << false;
    QTest::newRow("0.999") << QByteArray(R"({"version":0.999,"type":"hello","serial":"SN-0001"})") << false;
    QTest::newRow("true") << QByteArray(R"({"version":true,"type":"hello","serial":"SN-0001"})") << false;
    QTest::newRow("missing") << QByteArray(R"({"type":"hello","serial":"SN-0001"})") << false;
}

void tst_Session::version()
{
    QFETCH(QByteArray, frame);
    QFETCH(bool, accepted);

    ServedClient session;
    QVERIFY(session.open());
    if (!accepted)
        QTest::ignoreMessage(QtWarningMsg, "[RFU_GUARD] safety requested: Unsupported protocol");
    session.client.send(frame + '\n');
    if (accepted) {
        QVERIFY(
            session.client.waitForStatus([](const QJsonObject& s) { return !s.value("lease").toString().isEmpty(); }));
        return;
    }
    QVERIFY(session.client.waitForStatus(
        [](const QJsonObject& s) { return isFaultStatus(s, QStringLiteral("Unsupported protocol")); }));
    QVERIFY(session.client.waitForDisconnected());
}

void tst_Session::refusedHello_data()
{
    QTest::addColumn<QString>("serial");
    QTest::addColumn<Arrange>("arrange");

    const Arrange nothing = [](RfuFanGuardServiceProbe&) {};
    QTest::newRow("wrong serial") << "SN-0002" << nothing;
    QTest::newRow("serial with a trailing blank") << "SN-0001 " << nothing;
    QTest::newRow("safe speed not yet confirmed") << "SN-0001" << Arrange([](RfuFanGuardServiceProbe& p) {
        p.safeConfirmed() = false;
        p.awaitingSafeConfirmation() = true;
    });
    QTest::newRow("safety request awaiting confirmation")
        << "SN-0001" << Arrange([](RfuFanGuardServiceProbe& p) { p.awaitingSafeConfirmation() = true; });
    QTest::newRow("a requested speed awaiting confirmation")
        << "SN-0001" << Arrange([](RfuFanGuardServiceProbe& p) { p.confirmationSince() = p.now(); });
    QTest::newRow("fault latched") << "SN-0001" << Arrange([](RfuFanGuardServiceProbe& p) {
        p.faultReason() = QStringLiteral("Fan feedback expired");
    });
}

// A refused hello is no violation: nothing latched, the fan untouched, the connection open.
void tst_Session::refusedHello()
{
    QFETCH(QString, serial);
    QFETCH(Arrange, arrange);

    ServedClient session;
    QVERIFY(session.open());
    auto& p = session.guard.probe;
    arrange(p);
    const QString leaseBefore = p.leaseToken();
    const QString faultBefore = p.faultReason();

    QVERIFY(!session.client.hello(serial, 300));
    QCOMPARE(p.leaseToken(), leaseBefore);
    QCOMPARE(p.faultReason(), faultBefore);
    QCOMPARE(p.requestedRpm(), 6000);
    QCOMPARE(session.client.socket().state(), QLocalSocket::ConnectedState);
}

void tst_Session::tokensAndRelease()
{
    ServedClient session;
    QVERIFY(session.open());
    TestClient& client = session.client;
    const QRegularExpression uuid(QStringLiteral("^[0-9a-f]{8}-[0-9a-f]{4}-[0-9a-f]{4}-[0-9a-f]{4}-[0-9a-f]{12}$"));

    QVERIFY(client.hello());
    const QString firstLease = client.lease;
    const QString guardSession = client.session;
    QVERIFY(uuid.match(firstLease).hasMatch());
    QVERIFY(uuid.match(guardSession).hasMatch());
    QVERIFY(firstLease != guardSession);

    // A release and a hello in one write: the hello comes before the safe
    // speed is confirmed again, so it is refused; no fault, connection open.
    QTest::ignoreMessage(QtWarningMsg, "[RFU_GUARD] safety requested: Control released");
    client.send(QJsonDocument(QJsonObject { { "version", 1 }, { "type", "release" }, { "lease", firstLease },
                                  { "session", guardSession } })
                    .toJson(QJsonDocument::Compact)
        + "\n" + R"({"version":1,"type":"hello","serial":"SN-0001"})" + "\n");
    QVERIFY(client.waitForStatus([](const QJsonObject& s) { return s.value("lease").toString().isEmpty(); }));
    QVERIFY(client.waitForReady());
    QVERIFY(session.guard.probe.leaseToken().isEmpty());
    QVERIFY(session.guard.probe.faultReason().isEmpty());
    QVERIFY(session.guard.probe.warmupStopUsed());

    QVERIFY(client.hello());
    QVERIFY(client.lease != firstLease);
    QCOMPARE(client.lastStatus().value("session").toString(), guardSession);
    QVERIFY(client.controlAccepted());
}

void tst_Session::leaseRefusals_data()
{
    QTest::addColumn<bool>("leased");
    QTest::addColumn<QJsonObject>("message"); // "<lease>" and "<session>" are filled in
    QTest::addColumn<QString>("reason");

    const QString invalid = QStringLiteral("Invalid or expired control lease");
    const QString bounds = QStringLiteral("Control request violates safety bounds");
    const QJsonObject release { { "version", 1 }, { "type", "release" }, { "lease", "<lease>" },
        { "session", "<session>" } };
    QTest::newRow("release without a lease") << false << release << invalid;
    QTest::newRow("release with a wrong lease")
        << true << QJsonObject { { "version", 1 }, { "type", "release" }, { "lease", "x" }, { "session", "<session>" } }
        << invalid;
    QTest::newRow("release with a wrong session")
        << true << QJsonObject { { "version", 1 }, { "type", "release" }, { "lease", "<lease>" }, { "session", "x" } }
        << invalid;
    QTest::newRow("release with the lease in upper case")
        << true
        << QJsonObject { { "version", 1 }, { "type", "release" }, { "lease", "<LEASE>" }, { "session", "<session>" } }
        << invalid;
    QTest::newRow("no type and no lease") << false << QJsonObject { { "version", 1 } } << invalid;
    QTest::newRow("no type with a valid lease")
        << true << QJsonObject { { "version", 1 }, { "lease", "<lease>" }, { "session", "<session>" } } << bounds;
    QTest::newRow("unknown type with a valid lease")
        << true
        << QJsonObject { { "version", 1 }, { "type", "ping" }, { "lease", "<lease>" }, { "session", "<session>" } }
        << bounds;
}

void tst_Session::leaseRefusals()
{
    QFETCH(bool, leased);
    QFETCH(QJsonObject, message);
    QFETCH(QString, reason);

    ServedClient session;
    QVERIFY(session.open());
    if (leased)
        QVERIFY(session.client.hello());
    for (auto field = message.begin(); field != message.end(); ++field) {
        if (field.value() == QJsonValue("<lease>"))
            field.value() = session.client.lease;
        else if (field.value() == QJsonValue("<LEASE>"))
            field.value() = session.client.lease.toUpper();
        else if (field.value() == QJsonValue("<session>"))
            field.value() = session.client.session;
    }

    QTest::ignoreMessage(QtWarningMsg, safetyLine(reason).constData());
    session.client.sendMessage(message);
    QVERIFY(session.client.waitForStatus([&](const QJsonObject& s) { return isFaultStatus(s, reason); }));
    QCOMPARE(session.client.lastStatus().value("lease").toString(), QString());
    QVERIFY(session.client.waitForDisconnected());
    QCOMPARE(session.guard.probe.faultReason(), reason);

    // A latched fault ends leasing for the life of the process.
    TestClient next;
    QVERIFY(next.connectTo(session.guard.socketPath()));
    QVERIFY(next.waitForStatus([](const QJsonObject& s) { return s.value("fault").toBool(); }));
    QVERIFY(!next.hello(QStringLiteral("SN-0001"), 300));
}

void tst_Session::expiry()
{
    // Past its deadline but before a tick: the control request itself is out of bounds.
    {
        ServedClient session;
        QVERIFY(session.open());
        QVERIFY(session.client.hello());
        session.guard.probe.supervisionTimer().stop();
        session.guard.probe.leaseDeadline() = session.guard.probe.now() - 1;
        QTest::ignoreMessage(QtWarningMsg, "[RFU_GUARD] safety requested: Control request violates safety bounds");
        session.client.control();
        QVERIFY(session.client.waitForStatus([](const QJsonObject& s) {
            return isFaultStatus(s, QStringLiteral("Control request violates safety bounds"));
        }));
    }
    // The tick ends a lease at its deadline; a later request meets an ended lease.
    ServedClient session;
    QVERIFY(session.open());
    QVERIFY(session.client.hello());
    QTest::ignoreMessage(QtWarningMsg, "[RFU_GUARD] safety requested: Control or telemetry deadline expired");
    session.guard.probe.leaseDeadline() = session.guard.probe.now();
    QVERIFY(session.client.waitForStatus([](const QJsonObject& s) {
        return isFaultStatus(s, QStringLiteral("Control or telemetry deadline expired"));
    }));
    QCOMPARE(session.client.socket().state(), QLocalSocket::ConnectedState);

    QTest::ignoreMessage(QtWarningMsg, "[RFU_GUARD] safety requested: Invalid or expired control lease");
    session.client.control();
    QVERIFY(session.client.waitForDisconnected());
    QCOMPARE(session.guard.probe.faultReason(), QStringLiteral("Control or telemetry deadline expired"));
}

QTEST_GUILESS_MAIN(tst_Session)
#include "tst_session.moc"
