#pragma once
// What the tests, the soak and the fuzzers share: profiles, row tables, a protocol
// client, a notify peer, a guard driven by scenario steps, and the status invariants.
#include "controltracker.h"
#include "service/rfufanguardservice.h"

#include <QLocalServer>
#include <QLocalSocket>
#include <QSocketNotifier>
#include <QTemporaryDir>
#include <QtTest>
#include <functional>
#include <memory>
#include <optional>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

// Deadlines short enough for tests, long enough for a loaded machine: every sample, lease
// and feedback limit is 2 s, and one-shot recovery gives up after 5 × 200 + 600 ms.
inline const QString kShortTimings
    = "CommandTimeoutMs=200;SpinUpMs=100;SettlingMs=600;LeaseMs=2000;MaximumFeedbackAgeMs=2000;"
      "MaximumSampleAgeMs=2000;MaximumOffMs=2000;LeadSeconds=1";
// To add to them for kevo-sim as the fan program: half a second per command, which a start
// of kevo-sim on a loaded machine fits in, and one-shot recovery gives up after 3.1 s.
inline const QString kKevoSimFan = "CommandTimeoutMs=500;BackendProgram=" KEVO_SIM_PROGRAM;

inline QString readText(const QString& path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        qFatal("cannot read %s", qPrintable(path));
    return QString::fromUtf8(file.readAll());
}

// The example profile with changes, separated by ';': "Key=value" replaces or appends a
// key, "-Key" removes it, anything else is appended as a line.
inline QByteArray profileText(const QString& changes = {})
{
    QString text = readText(OSTREL_EXAMPLE_PROFILE);
    for (const QString& change : changes.split(';', Qt::SkipEmptyParts)) {
        const QRegularExpression line(
            "^" + QRegularExpression::escape(change.section('=', 0, 0).remove('-')) + "=.*\\n",
            QRegularExpression::MultilineOption);
        if (change.startsWith('-') || (change.contains('=') && text.contains(line)))
            text.remove(line);
        if (!change.startsWith('-'))
            text += change + '\n';
    }
    return text.toUtf8();
}

inline QString writeFile(const QTemporaryDir& dir, const QString& name, const QByteArray& content)
{
    // Whole or not at all: kevo-sim may read its control file while a step rewrites it.
    QSaveFile file(dir.filePath(name));
    if (!file.open(QIODevice::WriteOnly) || file.write(content) != content.size() || !file.commit())
        qFatal("cannot write %s", qPrintable(file.fileName()));
    return file.fileName();
}

// qFatal when it does not load.
inline DeviceProfile loadedProfile(const QString& changes)
{
    static QHash<QString, DeviceProfile> loaded; // the fuzzer asks for the same one every run
    if (loaded.contains(changes))
        return loaded.value(changes);
    QTemporaryDir dir;
    DeviceProfile profile;
    QString error;
    if (!loadDeviceProfile(writeFile(dir, "p.ini", profileText(changes)), &profile, &error))
        qFatal("test profile refused: %s", qPrintable(error));
    return loaded[changes] = profile;
}

// Points kevo-sim, run by this process or its children, at a fan of its own in dir
// (its state, its log, and these control lines, one per ';', after "lag-ms=0").
inline void useFan(const QTemporaryDir& dir, const QString& control = {})
{
    qputenv("KEVO_SIM_STATE", dir.filePath("fan").toUtf8());
    qputenv("KEVO_SIM_CONTROL",
        writeFile(dir, "fan.control", QString("lag-ms=0;" + control + ';').replace(';', '\n').toUtf8()).toUtf8());
    qputenv("KEVO_SIM_LOG", dir.filePath("fan.log").toUtf8());
}

// The last one kevo-sim applied, if any.
inline QString fanSetpoint(const QTemporaryDir& dir)
{
    QFile state(dir.filePath("fan"));
    return state.open(QIODevice::ReadOnly) ? QString(state.readAll()).section(' ', 0, 0) : QString();
}

// One QtTest row per line of tests/tables/<name>.txt: the row's name, then a QString
// column per '|'-separated field, trimmed. '#' lines are comments.
inline void addRows(const char* name, const QStringList& columns)
{
    static QList<QByteArray> names; // the table keeps the pointers
    for (const QString& column : columns)
        QTest::addColumn<QString>((names << column.toLatin1()).last().constData());
    for (const QString& line : readText(QString(OSTREL_TEST_TABLES "/%1.txt").arg(name)).split('\n')) {
        const QStringList fields = line.split('|');
        if (!line.startsWith('#') && fields.size() == columns.size() + 1) {
            QTestData& row = QTest::newRow(qPrintable(fields[0].trimmed()));
            for (const QString& field : fields.mid(1))
                row << field.trimmed();
        }
    }
}

// What breaks the status contract or a safety invariant in a status line as the guard wrote it.
inline QString statusProblem(const QByteArray& line)
{
    // The guard writes the members in key order, so one pattern checks them all.
    static const QRegularExpression shape(
        QString(R"(\A\{"ageMs":(?<age>-1|\d+),"commandSequence":"\d+","fault":(?<fault>true|false),)"
                R"re("lease":"(?<lease>%1)?","ready":(?<ready>true|false),"reason":"(?<reason>[^"\\]*)",)re"
                R"("requestedRpm":(?<requested>-?\d+),"rpm":\d+,"rpmValid":(?<valid>true|false),"serial":"[^"]*",)"
                R"("session":"%1","simulation":(true|false),"type":"status","version":1\}\n\z)")
            .arg("[0-9a-f]{8}(-[0-9a-f]{4}){3}-[0-9a-f]{12}"));
    const QRegularExpressionMatch s = shape.match(QString::fromUtf8(line));
    const bool fault = s.captured("fault") == "true";
    // A fault has its reason, the safe speed and no lease; valid feedback has an age.
    if (!s.hasMatch() || fault == s.captured("reason").isEmpty()
        || (fault
            && (s.captured("ready") == "true" || s.captured("requested") != "6000" || !s.captured("lease").isEmpty()))
        || (s.captured("valid") == "true" && s.captured("age") == "-1"))
        return "breaks the status contract: " + QString::fromUtf8(line).trimmed();
    return {};
}

// A thermal-control client over a real socket: how many statuses it has read, and what
// was wrong with them.
struct Client {
    QLocalSocket socket;
    int statuses = 0;
    QStringList problems;
    QByteArray received; // the start of a status still to come
    std::function<void(const QJsonObject&)> onStatus;
    // served: its first status has come
    bool connectTo(const QString& path, bool served = true)
    {
        // A guard still busy with a client that has just left turns newcomers away: try again.
        return QTest::qWaitFor([&] {
            if (socket.state() == QLocalSocket::UnconnectedState)
                socket.connectToServer(path);
            read();
            return socket.state() == QLocalSocket::ConnectedState && (!served || statuses > 0);
        });
    }
    void read()
    {
        if (socket.bytesAvailable() > 0) // nothing to read from a socket already closed
            received += socket.read(socket.bytesAvailable());
        for (int end; (end = received.indexOf('\n')) >= 0; received.remove(0, end + 1), ++statuses) {
            if (const QString problem = statusProblem(received.left(end + 1)); !problem.isEmpty())
                problems << problem;
            if (onStatus)
                onStatus(QJsonDocument::fromJson(received.left(end)).object());
        }
    }
};

// The service manager's side of service notification: a datagram socket, read as the event
// loop runs (its queue holds ten messages; a full one would block the guard's next one).
struct NotifyPeer {
    explicit NotifyPeer(const QString& path)
        : fd(socket(AF_UNIX, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0))
    {
        sockaddr_un address { AF_UNIX, {} };
        qstrncpy(address.sun_path, qPrintable(path), sizeof address.sun_path);
        if (bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0)
            qFatal("cannot bind the notify peer");
        QObject::connect(&notifier, &QSocketNotifier::activated, [this] { count({}); });
    }
    ~NotifyPeer() { close(fd); }
    // among all the messages received so far
    int count(const QString& message)
    {
        char buffer[256];
        for (ssize_t n; (n = recv(fd, buffer, sizeof buffer, 0)) > 0;)
            received << QString::fromUtf8(buffer, int(n));
        return received.count(message);
    }
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
//   read RPM[/SETPOINT] and fail (the fan reports), rpm N (requestRpm); for a guard on
//   kevo-sim: fan CONTROL (kevo-sim's control lines, separated by ','), kevo ARGS (kevo-sim
//   run as a second writer), until CHECKS (the snapshot's KEY=VALUE checks all hold; bounded).
struct RfuFanGuardServiceProbe {
    std::optional<QTemporaryDir> files;
    std::optional<NotifyPeer> manager; // the service manager of a guard in real mode
    RfuFanGuardService s;
    // The client library's view, beside the guard: every status the guard sends reaches it,
    // and it checks every message the steps hand the guard. Its clock is the guard's, moved by
    // the +N steps as the guard's times are, and it allows no margin.
    ostrel::ControlTracker tracker { s.profile, 0 };
    qint64 shiftMs = 0;
    QString localRefusal; // the first message the library refused, and why
    std::vector<std::unique_ptr<Client>> clients;
    quint64 sequence = 0, sampleSequence = 0;

    explicit RfuFanGuardServiceProbe(const QString& changes, bool simulate = true)
        : s(loadedProfile(kShortTimings + ';' + changes), simulate)
    {
        if (!simulate) {
            useFan(dir());
            manager.emplace(dir().filePath("notify"));
            qputenv("NOTIFY_SOCKET", dir().filePath("notify").toUtf8());
            qputenv("WATCHDOG_USEC", "1000000");
        }
    }
    // the guard's files: made when first asked for
    const QTemporaryDir& dir()
    {
        if (!files)
            files.emplace();
        return *files;
    }
    // true once the client is served and the safe speed confirmed
    bool start()
    {
        tracker.setWarmupStopExpected(true); // its first client
        if (!s.start(dir().filePath("fan.sock"), false, nullptr))
            return false;
        s.supervisionTimer.stop(); // the steps tick
        clients.push_back(std::make_unique<Client>());
        clients.back()->onStatus
            = [this](const QJsonObject& status) { tracker.statusReceived(status, s.guardClock.elapsed() + shiftMs); };
        return clients.back()->connectTo(dir().filePath("fan.sock"))
            && QTest::qWaitFor([&] { return s.control.safeConfirmed; });
    }
    // As start, but without the guard's socket server and lock: the client is one end of a
    // socket pair, and the guard is served the other end. No file is made: for the fuzzer.
    bool attach()
    {
        int ends[2];
        if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0, ends) != 0)
            return false;
        s.beginGuarding();
        s.supervisionTimer.stop();
        auto* guardEnd = new QLocalSocket(&s.server); // where the server keeps the sockets it accepts
        clients.push_back(std::make_unique<Client>());
        if (!guardEnd->setSocketDescriptor(ends[0]) || !clients.back()->socket.setSocketDescriptor(ends[1]))
            return false;
        s.acceptClient(guardEnd);
        settle();
        return s.control.safeConfirmed;
    }
    // "<lease>" and "<session>" become the guard's
    void send(QByteArray bytes)
    {
        clients.back()->socket.write(
            bytes.replace("<lease>", s.control.leaseToken.toUtf8()).replace("<session>", s.guardSession.toUtf8()));
        clients.back()->socket.flush();
        settle();
    }
    // a few passes of the event loop: the guard answers within them
    void settle()
    {
        // Until a pass finds nothing to do: a frame, its status and a simulated reading take three.
        for (int pass = 0; pass < 10 && QAbstractEventDispatcher::instance()->processEvents(QEventLoop::AllEvents);)
            ++pass;
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    }
    void step(const QString& step)
    {
        // What the guard wrote in the last step reaches the library before any time passes.
        for (const auto& client : clients) {
            if (s.client)
                s.client->flush();
            client->socket.waitForReadyRead(0);
            client->read();
        }
        const QString verb = step.section(' ', 0, 0), argument = step.section(' ', 1);
        static const QHash<QString, QString> fixed { { "hello", R"({"version":1,"type":"hello","serial":"SN-0001"})" },
            { "release", R"({"version":1,"type":"release","lease":"<lease>","session":"<session>"})" } };
        QString message = verb == "msg" ? argument : fixed.value(verb);
        if (verb == "ctl") {
            QJsonObject sample { { "valid", true }, { "serial", "SN-0001" }, { "session", "sensor-1" },
                { "sequence", QString::number(++sampleSequence) }, { "temperatureC", 30 }, { "ageMs", 0 } };
            QJsonObject m { { "version", 1 }, { "type", "control" }, { "lease", "<lease>" }, { "session", "<session>" },
                { "sequence", QString::number(++sequence) }, { "progress", QString::number(sequence) }, { "rpm", 6000 },
                { "targetC", 30 }, { "state", "" }, { "sample", sample } };
            for (const QString& change : argument.split(' ', Qt::SkipEmptyParts)) {
                const QJsonArray value = QJsonDocument::fromJson(("[" + change.section('=', 1) + "]").toUtf8()).array();
                QJsonObject& target = change.startsWith("sample.") ? sample : m;
                const QString key = change.section('=', 0, 0).remove("sample.");
                if (key.startsWith('-'))
                    target.remove(key.mid(1));
                else
                    target[key] = value.isEmpty() ? change.section('=', 1) : value[0];
            }
            if (m.value("sample").isObject())
                m["sample"] = sample;
            message = QJsonDocument(m).toJson(QJsonDocument::Compact);
        }
        if (!message.isEmpty()) {
            const QString before = s.control.leaseToken;
            message.replace("<lease>", s.control.leaseToken).replace("<session>", s.guardSession);
            const QJsonObject object = QJsonDocument::fromJson(message.toUtf8()).object();
            const qint64 now = s.guardClock.elapsed() + shiftMs;
            if (const QString refusal = tracker.check(object, now); localRefusal.isEmpty())
                localRefusal = refusal;
            s.handleMessage(object);
            sequence = s.control.leaseToken != before && !s.control.leaseToken.isEmpty() ? 0 : sequence;
        } else if (verb == "send") {
            send(QJsonDocument::fromJson(("[" + argument + "]").toUtf8()).array().at(0).toString().toUtf8());
        } else if (verb == "pad") {
            const QByteArray hello = R"({"version":1,"type":"hello","serial":"SN-0001")";
            send(hello + QByteArray(argument.section(' ', 0, 0).toInt() - hello.size() - 1, ' ') + '}'
                + (argument.endsWith("lf") ? "\n" : ""));
        } else if (verb == "connect" || verb == "join") { // join: until served
            clients.push_back(std::make_unique<Client>());
            clients.back()->connectTo(dir().filePath("fan.sock"), verb == "join");
            settle();
        } else if (verb == "fan") {
            useFan(dir(), QString(argument).replace(',', ';'));
        } else if (verb == "kevo") {
            QProcess::execute(KEVO_SIM_PROGRAM, argument.split(' '));
        } else if (verb == "until") {
            (void)QTest::qWaitFor([&] { return holds(snapshot(), argument); }, 10000); // the checks tell
        } else if (verb == "live") {
            s.supervisionTimer.start(250);
        } else if (verb == "drop") { // the client object stays for its statuses
            clients.back()->read();
            clients.back()->socket.abort();
            settle();
        } else if (verb == "flood") {
            clients.back()->socket.setReadBufferSize(1);
            for (int i = 0; i < 100000 && s.client; ++i, QCoreApplication::processEvents())
                s.sendStatus();
            clients.back()->socket.setReadBufferSize(0); // reading again, it sees the end
        } else if (verb == "run") {
            settle();
        } else if (verb.startsWith('+')) {
            shiftMs += verb.toLongLong();
            s.control.passTime(verb.toLongLong());
        } else if (verb == "tick") {
            s.superviseAt(argument == "refresh" ? s.control.nextRefreshAt : s.guardClock.elapsed());
        } else if (verb == "read") {
            Q_EMIT s.backend.reading(argument.section('/', 0, 0).toInt(),
                argument.contains('/') ? argument.section('/', 1).toInt() : s.control.requestedRpm);
        } else if (verb == "fail") {
            Q_EMIT s.backend.failed("Fan command exited unsuccessfully");
        } else if (verb == "rpm") {
            s.requestRpm(argument.toInt());
        } else {
            qFatal("unknown step: %s", qPrintable(step));
        }
    }
    // the state, and what is wrong with any status received
    QJsonObject snapshot()
    {
        QStringList problems;
        for (const auto& client : clients) {
            client->read();
            problems << client->problems;
        }
        return { { "problems", problems.join(", ") }, { "reason", s.control.faultReason },
            { "requested", s.control.requestedRpm }, { "leased", !s.control.leaseToken.isEmpty() },
            { "ready", s.control.ready() }, { "spinUp", s.control.spinUpPending }, { "off", s.control.offSince != -1 },
            { "warmup", s.control.warmupStopUsed }, { "confirming", s.control.confirmationSince != -1 },
            { "fed", s.control.lastFeedbackAt != -1 }, { "retry", s.control.safeRetryUsed },
            { "exhausted", s.control.recoveryExhausted }, { "sequence", QString::number(s.control.commandSequence) },
            { "fresh", s.control.freshSampleCount }, { "client", s.client != nullptr },
            { "sockets", s.server.findChildren<QLocalSocket*>().size() },
            { "closed", clients.back()->socket.state() == QLocalSocket::UnconnectedState },
            { "statuses", clients.back()->statuses }, { "fan", fanSetpoint(dir()) } };
    }
    // Each KEY=VALUE of checks (separated by blanks) as the snapshot has it; the first that does
    // not hold, or an empty string.
    static QString failedCheck(const QJsonObject& state, const QString& checks)
    {
        for (const QString& check : checks.split(' ', Qt::SkipEmptyParts)) {
            const QString seen
                = check.section('=', 0, 0) + '=' + state.value(check.section('=', 0, 0)).toVariant().toString();
            if (seen != check)
                return seen;
        }
        return {};
    }
    static bool holds(const QJsonObject& state, const QString& checks) { return failedCheck(state, checks).isEmpty(); }
};
