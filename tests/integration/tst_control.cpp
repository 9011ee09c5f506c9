// Control requests and temperature samples, against an in-process guard over a real local socket.
#include "runningguard.h"
#include "testclient.h"

#include <QtTest>
#include <functional>

using Arrange = std::function<void(RfuFanGuardServiceProbe&)>;
Q_DECLARE_METATYPE(Arrange)

// One step of a conversation: a control request (or "release" / "hello"),
// what the guard must answer ("accept" or a refusal reason), and a pause first.
struct Step {
    QJsonObject changes;
    QString expect = QStringLiteral("accept");
    int pauseMs = 0;
};
Q_DECLARE_METATYPE(QVector<Step>)

namespace {

const QString kBounds = QStringLiteral("Control request violates safety bounds");
const QString kUnsafe = QStringLiteral("Unsafe stop or spin-up request");
const QString kIdentity = QStringLiteral("Device session or sample identity changed");
const QString kExpired = QStringLiteral("Temperature sample expired");

// Leased clients of a started guard below use sample temperature 30 °C, target
// 30 °C, MinimumRpm 1200, SpinUpRpm 3000, MaximumRpm 6000, RpmStep 100, LeadC 2.

// Sends one control request and checks the guard's answer.
bool answeredAs(TestClient& client, const QJsonObject& changes, const QString& expect)
{
    if (expect == QLatin1String("accept")) {
        const QJsonObject message = client.controlMessage(changes);
        client.sendMessage(message);
        QJsonObject answer;
        const bool answered = client.waitForStatus(
            [&](const QJsonObject& s) {
                return s.value("fault").toBool()
                    || s.value("commandSequence").toString().toULongLong()
                    == message.value("sequence").toString().toULongLong();
            },
            3000, &answer);
        return answered && !answer.value("fault").toBool() && answer.value("requestedRpm") == message.value("rpm")
            && answer.value("lease") == client.lease;
    }
    QTest::ignoreMessage(QtWarningMsg, qPrintable(QStringLiteral("[RFU_GUARD] safety requested: ") + expect));
    client.control(changes);
    return client.waitForStatus([&](const QJsonObject& s) { return isFaultStatus(s, expect); })
        && client.waitForDisconnected();
}

QJsonObject stop(double targetC = 40) { return { { "rpm", 0 }, { "state", "WarmupOff" }, { "targetC", targetC } }; }

QJsonObject rpm(int value) { return { { "rpm", value } }; }

} // namespace

class tst_Control : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void singleRequest_data();
    void singleRequest();
    void conversation_data();
    void conversation();
    void repeatedSampleNeverExtendsItsLife();
    void sampleIdentitySpansLeases();
    void everySpeedOnTheGrid();
};

void tst_Control::singleRequest_data()
{
    QTest::addColumn<Arrange>("arrange");
    QTest::addColumn<QJsonObject>("changes");
    QTest::addColumn<QString>("expect");

    const Arrange nothing = [](RfuFanGuardServiceProbe&) {};
    const auto row = [&](const char* name, const QJsonObject& changes, const QString& expect) {
        QTest::newRow(name) << nothing << changes << expect;
    };
    row("default request", {}, "accept");
    row("sequence as a JSON number", { { "sequence", 1 } }, kBounds);
    row("sequence 0 at the start of a lease", { { "sequence", "0" } }, kBounds);
    row("sequence with leading zeros", { { "sequence", "001" } }, "accept");
    row("sequence with a plus sign", { { "sequence", "+1" } }, kBounds);
    row("progress missing", { { "progress", QJsonValue::Null } }, kBounds);
    row("progress 0", { { "progress", "0" } }, kBounds);
    row("sample missing", { { "sample", QJsonValue::Null } }, kBounds);
    row("sample not an object", { { "sample", 5 } }, kBounds);
    row("sample marked invalid", { { "sample", QJsonObject { { "valid", false } } } }, kBounds);
    row("sample of another device", { { "sample", QJsonObject { { "serial", "SN-0002" } } } }, kBounds);
    row("sample sequence 0", { { "sample", QJsonObject { { "sequence", "0" } } } }, kBounds);
    row("sample older than allowed", { { "sample", QJsonObject { { "ageMs", 10001 } } } }, kBounds);
    row("sample exactly as old as allowed", { { "sample", QJsonObject { { "ageMs", 10000 } } } }, kExpired);
    row("sample just younger than allowed", { { "sample", QJsonObject { { "ageMs", 9900 } } } }, "accept");
    row("temperature at the sensor minimum", { { "sample", QJsonObject { { "temperatureC", -40 } } } }, "accept");
    row("temperature below the sensor minimum", { { "sample", QJsonObject { { "temperatureC", -40.5 } } } }, kBounds);
    row("temperature at the maximum", { { "sample", QJsonObject { { "temperatureC", 70 } } } }, kBounds);
    row("target at the top of the range", { { "targetC", 45 } }, "accept");
    row("target above the range", { { "targetC", 45.5 } }, kBounds);
    row("target missing", { { "targetC", QJsonValue::Null } }, kBounds);
    row("rpm at the maximum", rpm(6000), "accept");
    row("rpm above the maximum", rpm(6100), kBounds);
    row("rpm not whole", { { "rpm", 3000.5 } }, kBounds);
    row("rpm negative", rpm(-100), kBounds);
    row("rpm as a string", { { "rpm", "3000" } }, kBounds);
    row("rpm off the step grid", rpm(3050), kUnsafe);
    row("rpm below the minimum", rpm(1100), kUnsafe);
    row("type other than control", { { "type", "Control" } }, kBounds);
    row("stop with only one fresh sample", stop(), kUnsafe);
    QTest::newRow("no fan reading yet") << Arrange([](RfuFanGuardServiceProbe& p) { p.lastFeedbackAt() = -1; })
                                        << QJsonObject() << kBounds;
    QTest::newRow("fan reading older than allowed")
        << Arrange([](RfuFanGuardServiceProbe& p) { p.lastFeedbackAt() = p.now() - 10001; }) << QJsonObject()
        << kBounds;
}

void tst_Control::singleRequest()
{
    QFETCH(Arrange, arrange);
    QFETCH(QJsonObject, changes);
    QFETCH(QString, expect);

    ServedClient leased;
    QVERIFY(leased.open(true));
    arrange(leased.guard.probe);
    const qint64 before = leased.guard.probe.now();
    QVERIFY(answeredAs(leased.client, changes, expect));
    auto& p = leased.guard.probe;
    if (expect == QLatin1String("accept")) {
        // An accepted request renews the lease and arms the sample deadline.
        QVERIFY(p.leaseDeadline() >= before + 10000);
        QVERIFY(p.sampleDeadlineArmed());
    } else {
        QCOMPARE(p.requestedRpm(), 6000);
        QVERIFY(p.leaseToken().isEmpty());
        QCOMPARE(p.faultReason(), expect);
    }
}

void tst_Control::conversation_data()
{
    QTest::addColumn<QVector<Step>>("steps");

    QTest::newRow("counters must increase") << QVector<Step> { { { { "sequence", "5" }, { "progress", "5" } } },
        { { { "sequence", "5" }, { "progress", "6" } }, kBounds } };
    QTest::newRow("progress must increase") << QVector<Step> { { { { "sequence", "5" }, { "progress", "5" } } },
        { { { "sequence", "6" }, { "progress", "5" } }, kBounds } };
    QTest::newRow("same sample again with the same temperature")
        << QVector<Step> { { { { "sample", QJsonObject { { "sequence", "9" } } } } },
               { { { "sample", QJsonObject { { "sequence", "9" } } } } } };
    QTest::newRow("same sample again with another temperature")
        << QVector<Step> { { { { "sample", QJsonObject { { "sequence", "9" } } } } },
               { { { "sample", QJsonObject { { "sequence", "9" }, { "temperatureC", 30.5 } } } }, kIdentity } };
    QTest::newRow("sample sequence going back")
        << QVector<Step> { { { { "sample", QJsonObject { { "sequence", "9" } } } } },
               { { { "sample", QJsonObject { { "sequence", "8" } } } }, kIdentity } };
    QTest::newRow("another sample session")
        << QVector<Step> { { {} }, { { { "sample", QJsonObject { { "session", "sensor-2" } } } }, kIdentity } };

    QTest::newRow("warm-up stop, kept while off, then a spin-up")
        << QVector<Step> { { {} }, { stop() }, { stop() }, { rpm(3000) } };
    QTest::newRow("stop without the warm-up state")
        << QVector<Step> { { {} }, { { { "rpm", 0 }, { "targetC", 40 } }, kUnsafe } };
    QTest::newRow("stop with the sample at target minus lead") << QVector<Step> { { {} }, { stop(32), kUnsafe } };
    QTest::newRow("stop with the sample just below target minus lead") << QVector<Step> { { {} }, { stop(32.001) } };
    QTest::newRow("start from standstill below the spin-up speed")
        << QVector<Step> { { {} }, { stop() }, { rpm(2900), kUnsafe } };
    QTest::newRow("spin-up holds until it completes")
        << QVector<Step> { { {} }, { stop() }, { rpm(3000) }, { rpm(1200), kUnsafe } };
    QTest::newRow("a stop during the spin-up")
        << QVector<Step> { { {} }, { stop() }, { rpm(3000) }, { stop(), kUnsafe } };
    QTest::newRow("spin-up completes after SpinUpMs at speed")
        << QVector<Step> { { {} }, { stop() }, { rpm(3000) }, { rpm(1200), "accept", 200 } };
    QTest::newRow("one warm-up stop per process")
        << QVector<Step> { { {} }, { stop() }, { rpm(3000) }, { rpm(3000), "accept", 200 }, { stop(), kUnsafe } };
    QTest::newRow("no warm-up stop after a safety request") << QVector<Step> { { {} },
        { { { "release", true } }, "release" }, { { { "hello", true } }, "hello" }, { {} }, { stop(), kUnsafe } };
}

void tst_Control::conversation()
{
    QFETCH(QVector<Step>, steps);

    ServedClient leased;
    QVERIFY(leased.open(true));
    TestClient& client = leased.client;
    for (const Step& step : steps) {
        if (step.pauseMs > 0)
            QTest::qWait(step.pauseMs);
        if (step.expect == QLatin1String("release")) {
            QTest::ignoreMessage(QtWarningMsg, "[RFU_GUARD] safety requested: Control released");
            client.release();
            QVERIFY(client.waitForStatus([](const QJsonObject& s) { return s.value("lease").toString().isEmpty(); }));
            QVERIFY(client.waitForReady());
        } else if (step.expect == QLatin1String("hello")) {
            QVERIFY(client.hello());
        } else {
            QVERIFY2(answeredAs(client, step.changes, step.expect),
                qPrintable(QJsonDocument(step.changes).toJson(QJsonDocument::Compact)));
        }
    }
}

void tst_Control::repeatedSampleNeverExtendsItsLife()
{
    ServedClient leased;
    QVERIFY(leased.open(true));
    // The measurement is 9800 ms old: it has 200 ms left, however often it is re-sent.
    const QJsonObject oldSample { { "sample", QJsonObject { { "sequence", "4" }, { "ageMs", 9800 } } } };
    QVERIFY(answeredAs(leased.client, oldSample, "accept"));
    QTest::qWait(250);
    QVERIFY(answeredAs(leased.client, { { "sample", QJsonObject { { "sequence", "4" }, { "ageMs", 0 } } } }, kExpired));
}

void tst_Control::sampleIdentitySpansLeases()
{
    ServedClient leased;
    QVERIFY(leased.open(true));
    TestClient& first = leased.client;
    QVERIFY(answeredAs(first, { { "sample", QJsonObject { { "sequence", "40" } } } }, "accept"));
    QTest::ignoreMessage(QtWarningMsg, "[RFU_GUARD] safety requested: Client disconnected");
    first.socket().disconnectFromServer();
    QTRY_VERIFY(leased.guard.probe.client() == nullptr);

    TestClient second;
    QVERIFY(second.connectTo(leased.guard.socketPath()));
    QVERIFY(second.waitForReady());
    QVERIFY(second.hello());
    // Counters start again with the lease; the sample stream does not.
    QVERIFY(answeredAs(second, { { "sample", QJsonObject { { "sequence", "39" } } } }, kIdentity));
}

void tst_Control::everySpeedOnTheGrid()
{
    ServedClient leased;
    QVERIFY(leased.open(true));
    for (int speed = 1200; speed <= 6000; speed += 100)
        QVERIFY2(answeredAs(leased.client, rpm(speed), "accept"), qPrintable(QString::number(speed)));
}

QTEST_GUILESS_MAIN(tst_Control)
#include "tst_control.moc"
