#pragma once
// What the tests, the soak and the fuzzers share: profiles, row tables, a protocol
// client, a notify peer, a guard driven by scenario steps, and the status invariants.
#include "service/rfufanguardservice.h"

#include <QJsonObject>
#include <QLocalSocket>
#include <QTemporaryDir>
#include <functional>
#include <memory>

// The example profile with changes, separated by ';': "Key=value" replaces or appends a
// key, "-Key" removes it, anything else is appended as a line.
QByteArray profileText(const QString& changes = {});
QString writeFile(const QTemporaryDir& dir, const QString& name, const QByteArray& content);
DeviceProfile loadedProfile(const QString& changes); // qFatal when it does not load

// Points kevo-sim, run by this process or its children, at a fan of its own in dir
// (its state, its log, and these control lines, one per ';', after "lag-ms=0").
void useFan(const QTemporaryDir& dir, const QString& control = {});

// Deadlines short enough for tests, long enough for a loaded machine: every sample, lease
// and feedback limit is 2 s, and one-shot recovery gives up after 5 × 200 + 600 ms.
extern const char kShortTimings[];

// One QtTest row per line of tests/tables/<name>.txt: the row's name, then a QString
// column per '|'-separated field, trimmed. '#' lines are comments.
void addRows(const char* name, const QStringList& columns);

// A thermal-control client over a real socket; waiting reads the frames.
struct Client {
    QLocalSocket socket;
    QList<QJsonObject> statuses;
    QString lease, session; // the last ones seen
    int offered = 0;

    bool connectTo(const QString& path, bool served = true); // served: its first status has come
    void send(const QByteArray& bytes);
    void message(const QJsonObject& m); // "<lease>" and "<session>" are filled in
    // Offers each status once, oldest first, until one passes.
    bool waitFor(const std::function<bool(const QJsonObject&)>& check, int timeoutMs = 5000);
    void read();
};
QJsonObject controlMessage(quint64 sequence, quint64 sampleSequence, int rpm);

// The service manager's side of service notification: a datagram socket.
struct NotifyPeer {
    explicit NotifyPeer(const QString& path);
    ~NotifyPeer();
    int count(const QString& message); // among all the messages received so far
    int fd;
    QStringList received;
};

// What breaks the status contract or a safety invariant; empty when nothing does.
QString statusProblem(const QJsonObject& status);

// A guard in this process (in simulation unless asked) with short timings, its tick
// stopped and one client connected, driven by steps:
//   hello[=serial], ctl [key=value ...] (a valid control request with changes: sample.key
//   changes the sample, -key removes a key, a value that is not JSON is a string),
//   msg JSON, release (these four go straight to the message handler);
//   send "JSON string" (bytes from the last client), pad N [lf] (a hello of N bytes),
//   connect (another client), drop (the last client leaves), flood (it stops reading);
//   run (the event loop runs), +N (N ms pass: every guard time moves back), tick,
//   read RPM[/SETPOINT] and fail (the fan reports), rpm N (requestRpm).
struct RfuFanGuardServiceProbe {
    explicit RfuFanGuardServiceProbe(const QString& changes, bool simulate = true);
    bool start(); // true once the client is served and the safe speed confirmed
    void step(const QString& step);
    void send(QByteArray bytes); // "<lease>" and "<session>" become the guard's
    void settle();
    QJsonObject snapshot(); // the state, and what is wrong with any status received

    QTemporaryDir dir;
    RfuFanGuardService s;
    std::vector<std::unique_ptr<Client>> clients;
    quint64 sequence = 0, sampleSequence = 0;
    bool quick = false; // settle by passes of the event loop, not by waiting
};
