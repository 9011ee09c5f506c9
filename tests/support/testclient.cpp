// A protocol client for tests.
#include "testclient.h"

#include <QDeadlineTimer>
#include <QJsonDocument>
#include <QRegularExpression>
#include <QtTest>

TestClient::TestClient() { connect(&connection, &QLocalSocket::readyRead, this, &TestClient::readFrames); }

bool TestClient::connectTo(const QString& socketPath, int timeoutMs)
{
    // A guard that has just bound its socket may not listen yet: try again until it does.
    return QTest::qWaitFor(
        [&] {
            connection.connectToServer(socketPath);
            return connection.waitForConnected(100);
        },
        timeoutMs);
}

bool TestClient::join(const QString& socketPath, int timeoutMs)
{
    const QDeadlineTimer deadline(timeoutMs);
    while (!deadline.hasExpired()) {
        connection.abort();
        buffer.clear();
        if (!connectTo(socketPath, int(deadline.remainingTime())))
            return false;
        const int before = received.size();
        if (QTest::qWaitFor(
                [&] { return received.size() > before || connection.state() != QLocalSocket::ConnectedState; },
                int(deadline.remainingTime()))
            && received.size() > before)
            return true;
    }
    return false;
}

void TestClient::send(const QByteArray& bytes)
{
    connection.write(bytes);
    connection.flush();
}

void TestClient::sendMessage(const QJsonObject& message)
{
    send(QJsonDocument(message).toJson(QJsonDocument::Compact) + '\n');
}

void TestClient::readFrames()
{
    buffer += connection.readAll();
    for (int lineFeed = buffer.indexOf('\n'); lineFeed >= 0; lineFeed = buffer.indexOf('\n')) {
        const QJsonDocument document = QJsonDocument::fromJson(buffer.left(lineFeed));
        buffer.remove(0, lineFeed + 1);
        received << document.object();
        const QJsonObject& status = received.last();
        if (!status.value(QLatin1String("session")).toString().isEmpty())
            session = status.value(QLatin1String("session")).toString();
    }
}

bool TestClient::waitForStatus(const StatusCheck& check, int timeoutMs, QJsonObject* matched)
{
    return QTest::qWaitFor(
        [&] {
            while (checkedUpTo < received.size()) {
                const QJsonObject& status = received.at(checkedUpTo++);
                if (check(status)) {
                    if (matched)
                        *matched = status;
                    return true;
                }
            }
            return false;
        },
        timeoutMs);
}

bool TestClient::waitForReady(int timeoutMs)
{
    return waitForStatus([](const QJsonObject& s) { return s.value(QLatin1String("ready")).toBool(); }, timeoutMs);
}

bool TestClient::waitForDisconnected(int timeoutMs)
{
    return QTest::qWaitFor([&] { return connection.state() == QLocalSocket::UnconnectedState; }, timeoutMs);
}

bool TestClient::hello(const QString& serial, int waitMs)
{
    checkedUpTo = received.size();
    sendMessage({ { "version", 1 }, { "type", "hello" }, { "serial", serial } });
    QJsonObject granted;
    const QString heldBefore = lease;
    if (!waitForStatus(
            [&](const QJsonObject& s) {
                const QString token = s.value(QLatin1String("lease")).toString();
                return !token.isEmpty() && token != heldBefore;
            },
            waitMs, &granted))
        return false;
    lease = granted.value(QLatin1String("lease")).toString();
    nextSequence = 1;
    return true;
}

void TestClient::release()
{
    sendMessage({ { "version", 1 }, { "type", "release" }, { "lease", lease }, { "session", session } });
}

QJsonObject TestClient::controlMessage(const QJsonObject& changes)
{
    QJsonObject sample { { "valid", true }, { "serial", "SN-0001" }, { "session", "sensor-1" },
        { "sequence", QString::number(nextSampleSequence++) }, { "temperatureC", 30.0 }, { "ageMs", 0 } };
    const QString counter = QString::number(nextSequence++);
    QJsonObject message { { "version", 1 }, { "type", "control" }, { "lease", lease }, { "session", session },
        { "sequence", counter }, { "progress", counter }, { "rpm", 6000 }, { "targetC", 30.0 }, { "state", "" },
        { "sample", sample } };
    for (auto change = changes.begin(); change != changes.end(); ++change) {
        if (change.key() == QLatin1String("sample") && change.value().isObject()) {
            const QJsonObject sampleChanges = change.value().toObject();
            for (auto s = sampleChanges.begin(); s != sampleChanges.end(); ++s) {
                if (s.value().isNull())
                    sample.remove(s.key());
                else
                    sample.insert(s.key(), s.value());
            }
            message.insert(QStringLiteral("sample"), sample);
        } else if (change.value().isNull()) {
            message.remove(change.key());
        } else {
            message.insert(change.key(), change.value());
        }
    }
    return message;
}

bool TestClient::controlAccepted(const QJsonObject& changes)
{
    const QJsonObject message = controlMessage(changes);
    sendMessage(message);
    QJsonObject answer;
    return waitForStatus(
               [&](const QJsonObject& s) {
                   return s.value(QLatin1String("fault")).toBool()
                       || (s.value(QLatin1String("commandSequence")) == message.value(QLatin1String("sequence"))
                           && s.value(QLatin1String("lease")).toString() == lease);
               },
               3000, &answer)
        && !answer.value(QLatin1String("fault")).toBool();
}

bool isFaultStatus(const QJsonObject& status, const QString& reason)
{
    return status.value(QLatin1String("fault")).toBool() && status.value(QLatin1String("reason")).toString() == reason;
}

QString statusShapeProblem(const QJsonObject& status, bool simulation)
{
    static const QRegularExpression uuid(
        QStringLiteral("^[0-9a-f]{8}-[0-9a-f]{4}-[0-9a-f]{4}-[0-9a-f]{4}-[0-9a-f]{12}$"));
    const QStringList keys = { "ageMs", "commandSequence", "fault", "lease", "ready", "reason", "requestedRpm", "rpm",
        "rpmValid", "serial", "session", "simulation", "type", "version" };
    if (status.keys() != keys)
        return QStringLiteral("members: ") + status.keys().join(QLatin1Char(','));
    const auto integral = [&](const char* key) {
        const QJsonValue value = status.value(QLatin1String(key));
        return value.isDouble() && value.toDouble() == double(qint64(value.toDouble()));
    };
    if (status.value("version").toDouble() != 1 || status.value("type").toString() != QLatin1String("status"))
        return QStringLiteral("version or type");
    if (!uuid.match(status.value("session").toString()).hasMatch())
        return QStringLiteral("session");
    const QString lease = status.value("lease").toString();
    if (!status.value("lease").isString() || (!lease.isEmpty() && !uuid.match(lease).hasMatch()))
        return QStringLiteral("lease");
    if (!status.value("serial").isString() || !status.value("reason").isString())
        return QStringLiteral("serial or reason");
    bool digits = false;
    status.value("commandSequence").toString().toULongLong(&digits);
    if (!status.value("commandSequence").isString() || !digits)
        return QStringLiteral("commandSequence");
    if (!integral("requestedRpm") || !integral("rpm") || !integral("ageMs"))
        return QStringLiteral("requestedRpm, rpm or ageMs");
    if (!status.value("ready").isBool() || !status.value("rpmValid").isBool() || !status.value("fault").isBool())
        return QStringLiteral("ready, rpmValid or fault");
    if (status.value("simulation") != QJsonValue(simulation))
        return QStringLiteral("simulation");
    if (status.value("fault").toBool() == status.value("reason").toString().isEmpty())
        return QStringLiteral("fault and reason disagree");
    return QString();
}
