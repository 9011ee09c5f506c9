#pragma once
// What the test binaries, the soak and the fuzzers share: profiles and files, row tables, a
// protocol client, a notify peer, and a guard driven by the steps of tables/README.md. A helper
// that cannot do its job fails the test that called it, and the next row still runs.
#include "controltracker.h"
#include "service/rfufanguardservice.h"

#include <QLocalSocket>
#include <QSocketNotifier>
#include <QTemporaryDir>
#include <QtTest>
#include <functional>
#include <memory>
#include <optional>
#include <unistd.h>

// Deadlines short enough for tests, long enough for a loaded machine: every sample, lease
// and feedback limit is 2 s, and one-shot recovery gives up after 5 × 200 + 600 ms.
extern const QString kShortTimings;
// To add to them for kevo-sim as the fan program: half a second per command, which a start
// of kevo-sim on a loaded machine fits in, and one-shot recovery gives up after 3.1 s.
extern const QString kKevoSimFan;

// Fails the test running, or outside one (the fuzzers) ends the run; returns false.
bool harnessFailed(const QString& what);
QString readText(const QString& path);
// The example profile with changes, separated by ';': "Key=value" replaces or appends a
// key, "-Key" removes it, anything else is appended as a line.
QByteArray profileText(const QString& changes = {});
// Whole or not at all: kevo-sim may read its control file while a step rewrites it.
QString writeFile(const QTemporaryDir& dir, const QString& name, const QByteArray& content);
DeviceProfile loadedProfile(const QString& changes);
// Points kevo-sim, run by this process or its children, at a fan of its own in dir
// (its state, its log, and these control lines, one per ';', after "lag-ms=0").
void useFan(const QTemporaryDir& dir, const QString& control = {});
// The last setpoint kevo-sim applied, if any.
QString fanSetpoint(const QTemporaryDir& dir);
// One QtTest row per line of tables/<table>.txt, a QString column per field, named by the header.
void addRows(const char* table);
// What breaks the status contract or a safety invariant in a status line as the guard wrote it.
QString statusProblem(const QByteArray& line);

// A thermal-control client over a real socket: how many statuses it has read, and what
// was wrong with them.
struct Client {
    QLocalSocket socket;
    int statuses = 0;
    QStringList problems;
    FrameReader frames; // the statuses, as every reader of the protocol reads them
    std::function<void(const QJsonObject&)> onStatus;
    // served: its first status has come
    bool connectTo(const QString& path, bool served = true);
    void read();
};

// The service manager's side of service notification: a datagram socket, read as the event
// loop runs (its queue holds ten messages; a full one would block the guard's next one).
struct NotifyPeer {
    explicit NotifyPeer(const QString& path);
    ~NotifyPeer() { close(fd); }
    // among all the messages received so far
    int count(const QString& message);
    int fd;
    QSocketNotifier notifier { fd, QSocketNotifier::Read };
    QStringList received;
};

// A guard in this process (in simulation unless asked, else on kevo-sim of its own) with
// short timings, its tick stopped and one client connected, driven by the steps of
// tables/README.md. Beside it, the client library's view of it (tracker).
struct RfuFanGuardServiceProbe {
    std::optional<QTemporaryDir> files;
    std::optional<NotifyPeer> manager; // the service manager of a guard in real mode
    RfuFanGuardService s;
    // Every status the guard sends reaches it, and it checks every message the steps hand the
    // guard. Its clock is the guard's, moved by the +N steps as the guard's times are, and it
    // allows no margin.
    ostrel::ControlTracker tracker { s.profile, 0 };
    // From a clock of a machine up for days, as the library's is: near zero, a "none" (-1)
    // taken for a time would pass unseen.
    qint64 shiftMs = 1000000000;
    QString localRefusal; // the first message the library refused, and why
    QString unleasedClose; // why the guard last closed a connection without a lease
    std::vector<std::unique_ptr<Client>> clients;
    std::vector<std::unique_ptr<Client>> readers; // of the status socket
    quint64 sequence = 0, sampleSequence = 0;

    explicit RfuFanGuardServiceProbe(const QString& changes, bool simulate = true);
    ~RfuFanGuardServiceProbe();
    // the guard's files: made when first asked for
    const QTemporaryDir& dir();
    // true once the client is served and the safe speed confirmed
    bool start();
    // As start, but without the guard's socket server and lock: the client is one end of a
    // socket pair, and the guard is served the other end. No file is made: for the fuzzer.
    bool attach();
    // bytes from the last client; "<lease>" and "<session>" become the guard's
    void addClient(bool served); // and waits until it is served, if served
    void send(QByteArray bytes);
    // a few passes of the event loop: the guard answers within them
    static void settle(); // runs the event loop until idle
    // false for a step that is not in the table of verbs
    bool step(const QString& step);
    void passTime(qint64 ms);
    // a message straight to the guard's handler, checked by the library first
    void handle(QString message);
    QString controlRequest(const QString& changes);
    // the status the guard would send now
    QJsonObject status() const { return QJsonDocument::fromJson(s.statusFrame()).object(); }
    // the read-back keys, and what is wrong with any status received
    QJsonObject snapshot();
    // Each KEY=VALUE of checks (separated by blanks) as the snapshot has it; the first that does
    // not hold, or an empty string.
    static QString failedCheck(const QJsonObject& state, const QString& checks);
    static bool holds(const QJsonObject& state, const QString& checks) { return failedCheck(state, checks).isEmpty(); }
};
