#pragma once

#include <QJsonObject>
#include <QList>
#include <QLocalSocket>
#include <QObject>
#include <QString>
#include <functional>

// A thermal-control client for tests: it speaks the guard's protocol over a
// real local socket and collects every status the guard sends. Waiting runs
// the event loop, so the client serves an in-process guard as well as a
// guard process.
class TestClient : public QObject {
    Q_OBJECT

public:
    using StatusCheck = std::function<bool(const QJsonObject&)>;

    TestClient();

    bool connectTo(const QString& socketPath, int timeoutMs = 3000);
    // Connects and waits for the status every accepted client receives; a
    // guard still serving a client that has just left turns newcomers away,
    // so this tries again until it is served.
    bool join(const QString& socketPath, int timeoutMs = 3000);
    QLocalSocket& socket() { return connection; }

    // Raw bytes, and one message as a frame.
    void send(const QByteArray& bytes);
    void sendMessage(const QJsonObject& message);

    // Waits for a status not yet looked at that passes check, and hands it out.
    bool waitForStatus(const StatusCheck& check, int timeoutMs = 3000, QJsonObject* matched = nullptr);
    bool waitForReady(int timeoutMs = 3000);
    bool waitForDisconnected(int timeoutMs = 3000);
    const QList<QJsonObject>& statuses() const { return received; }
    QJsonObject lastStatus() const { return received.isEmpty() ? QJsonObject() : received.last(); }

    // hello with a serial; true when a status with a lease arrives within
    // waitMs. Statuses carry no reply marker, so a refusal shows only as no lease.
    bool hello(const QString& serial = QStringLiteral("SN-0001"), int waitMs = 2000);
    void release();
    // A valid control request for the current lease, with changes applied:
    // a key mapped to null is removed, a "sample" object is merged into the
    // default sample. Counters and the sample sequence go up by one each call.
    QJsonObject controlMessage(const QJsonObject& changes = {});
    void control(const QJsonObject& changes = {}) { sendMessage(controlMessage(changes)); }
    // Sends a control request and waits for the status that accepts it.
    bool controlAccepted(const QJsonObject& changes = {});

    QString lease;
    QString session;
    quint64 nextSequence = 1;
    quint64 nextSampleSequence = 1;

private:
    void readFrames();

    QLocalSocket connection;
    QByteArray buffer;
    QList<QJsonObject> received;
    int checkedUpTo = 0; // statuses already offered to a waitForStatus
};

// The guard's refusal as the client sees it: a fault status with that reason.
bool isFaultStatus(const QJsonObject& status, const QString& reason);

// What is wrong with a status's members and their JSON types; empty when nothing is.
QString statusShapeProblem(const QJsonObject& status, bool simulation);
