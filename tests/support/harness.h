#pragma once
// What the tests, the soak and the fuzzers share: profiles, row tables, a protocol
// client, a notify peer, a guard driven by scenario steps, and the status invariants.
#include "controltracker.h"
#include "service/rfufanguardservice.h"

#include <QJsonObject>
#include <QLocalSocket>
#include <QSocketNotifier>
#include <QTemporaryDir>
#include <functional>
#include <memory>
#include <optional>
#include <unistd.h>

// The example profile with changes, separated by ';': "Key=value" replaces or appends a
// key, "-Key" removes it, anything else is appended as a line.
QByteArray profileText(const QString& changes = {});
QString writeFile(const QTemporaryDir& dir, const QString& name, const QByteArray& content);
DeviceProfile loadedProfile(const QString& changes); // qFatal when it does not load

// Points kevo-sim, run by this process or its children, at a fan of its own in dir
// (its state, its log, and these control lines, one per ';', after "lag-ms=0").
void useFan(const QTemporaryDir& dir, const QString& control = {});
QString fanSetpoint(const QTemporaryDir& dir); // the last one kevo-sim applied, if any

// Deadlines short enough for tests, long enough for a loaded machine: every sample, lease
// and feedback limit is 2 s, and one-shot recovery gives up after 5 × 200 + 600 ms.
extern const QString kShortTimings;
// To add to them for kevo-sim as the fan program: half a second per command, which a start
// of kevo-sim on a loaded machine fits in, and one-shot recovery gives up after 3.1 s.
extern const QString kKevoSimFan;

// One QtTest row per line of tests/tables/<name>.txt: the row's name, then a QString
// column per '|'-separated field, trimmed. '#' lines are comments.
void addRows(const char* name, const QStringList& columns);

// A thermal-control client over a real socket: how many statuses it has read, and what
// was wrong with them.
struct Client {
    QLocalSocket socket;
    int statuses = 0;
    QStringList problems;
    QByteArray received; // the start of a status still to come
    std::function<void(const QJsonObject&)> onStatus;
    bool connectTo(const QString& path, bool served = true); // served: its first status has come
    void read();
};

// The service manager's side of service notification: a datagram socket, read as the event
// loop runs (its queue holds ten messages; a full one would block the guard's next one).
struct NotifyPeer {
    explicit NotifyPeer(const QString& path);
    ~NotifyPeer() { close(fd); }
    int count(const QString& message); // among all the messages received so far
    int fd;
    QSocketNotifier notifier { fd, QSocketNotifier::Read };
    QStringList received;
};

// A guard in this process (in simulation unless asked, else on kevo-sim of its own) with
// short timings, its tick stopped and one client connected, driven by steps:
//   hello, ctl [key=value ...] (a valid control request with changes: sample.key
//   changes the sample, -key removes a key, a value that is not JSON is a string),
//   msg JSON, release (these four go straight to the message handler);
//   send "JSON string" (bytes from the last client), pad N [lf] (a hello of N bytes),
//   connect (another client), join (one that waits to be served), drop (the last client
//   leaves), flood (it stops reading); run (the event loop runs), live (the tick runs on
//   its timer), +N (N ms pass: every guard time moves back), tick [refresh] (now, or exactly
//   when the fan is next to be read), fan CONTROL (kevo-sim's
//   control lines, for a guard that is not simulated),
//   read RPM[/SETPOINT] and fail (the fan reports), rpm N (requestRpm).
struct RfuFanGuardServiceProbe {
    explicit RfuFanGuardServiceProbe(const QString& changes, bool simulate = true);
    bool start(); // true once the client is served and the safe speed confirmed
    // As start, but without the guard's socket server and lock: the client is one end of a
    // socket pair, and the guard is served the other end. No file is made: for the fuzzer.
    bool attach();
    void step(const QString& step);
    void send(QByteArray bytes); // "<lease>" and "<session>" become the guard's
    void settle(); // a few passes of the event loop: the guard answers within them
    QJsonObject snapshot(); // the state, and what is wrong with any status received

    const QTemporaryDir& dir(); // the guard's files: made when first asked for

    std::optional<QTemporaryDir> files;
    RfuFanGuardService s;
    // The client library's view, beside the guard: every status the guard sends reaches it,
    // and it checks every message the steps hand the guard. Its clock is the guard's, moved by
    // the +N steps as the guard's times are, and it allows no margin.
    ostrel::ControlTracker tracker { s.profile, 0 };
    qint64 shiftMs = 0;
    QString localRefusal; // the first message the library refused, and why
    std::vector<std::unique_ptr<Client>> clients;
    quint64 sequence = 0, sampleSequence = 0;
};
