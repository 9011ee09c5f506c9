#include "harness.h"

#include <QLocalServer>
#include <QtTest>
#include <sys/socket.h>
#include <sys/un.h>

const QString kShortTimings = "CommandTimeoutMs=200;SpinUpMs=100;SettlingMs=600;LeaseMs=2000;MaximumFeedbackAgeMs=2000;"
                              "MaximumSampleAgeMs=2000;MaximumOffMs=2000;LeadSeconds=1";
const QString kKevoSimFan = "CommandTimeoutMs=500;BackendProgram=" KEVO_SIM_PROGRAM;

static QString readText(const QString& path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        qFatal("cannot read %s", qPrintable(path));
    return QString::fromUtf8(file.readAll());
}

QByteArray profileText(const QString& changes)
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

QString writeFile(const QTemporaryDir& dir, const QString& name, const QByteArray& content)
{
    // Whole or not at all: kevo-sim may read its control file while a step rewrites it.
    QSaveFile file(dir.filePath(name));
    if (!file.open(QIODevice::WriteOnly) || file.write(content) != content.size() || !file.commit())
        qFatal("cannot write %s", qPrintable(file.fileName()));
    return file.fileName();
}

void useFan(const QTemporaryDir& dir, const QString& control)
{
    qputenv("KEVO_SIM_STATE", dir.filePath("fan").toUtf8());
    qputenv("KEVO_SIM_CONTROL",
        writeFile(dir, "fan.control", QString("lag-ms=0;" + control + ';').replace(';', '\n').toUtf8()).toUtf8());
    qputenv("KEVO_SIM_LOG", dir.filePath("fan.log").toUtf8());
}

QString fanSetpoint(const QTemporaryDir& dir)
{
    QFile state(dir.filePath("fan"));
    return state.open(QIODevice::ReadOnly) ? QString(state.readAll()).section(' ', 0, 0) : QString();
}

DeviceProfile loadedProfile(const QString& changes)
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

void addRows(const char* name, const QStringList& columns)
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
static QString statusProblem(const QByteArray& line)
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

bool Client::connectTo(const QString& path, bool served)
{
    // A guard still busy with a client that has just left turns newcomers away: try again.
    return QTest::qWaitFor([&] {
        if (socket.state() == QLocalSocket::UnconnectedState)
            socket.connectToServer(path);
        read();
        return socket.state() == QLocalSocket::ConnectedState && (!served || statuses > 0);
    });
}

void Client::read()
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

NotifyPeer::NotifyPeer(const QString& path)
    : fd(socket(AF_UNIX, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0))
{
    sockaddr_un address { AF_UNIX, {} };
    qstrncpy(address.sun_path, qPrintable(path), sizeof address.sun_path);
    if (bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0)
        qFatal("cannot bind the notify peer");
    QObject::connect(&notifier, &QSocketNotifier::activated, [this] { count({}); });
}

int NotifyPeer::count(const QString& message)
{
    char buffer[256];
    for (ssize_t n; (n = recv(fd, buffer, sizeof buffer, 0)) > 0;)
        received << QString::fromUtf8(buffer, int(n));
    return received.count(message);
}

RfuFanGuardServiceProbe::RfuFanGuardServiceProbe(const QString& changes, bool simulate)
    : s(loadedProfile(kShortTimings + ';' + changes), simulate)
{
    if (!simulate)
        useFan(dir());
}

bool RfuFanGuardServiceProbe::start()
{
    tracker.setWarmupStopExpected(true); // its first client
    if (!s.start(dir().filePath("fan.sock"), false, nullptr))
        return false;
    s.supervisionTimer.stop(); // the steps tick
    clients.push_back(std::make_unique<Client>());
    clients.back()->onStatus
        = [this](const QJsonObject& status) { tracker.statusReceived(status, s.guardClock.elapsed() + shiftMs); };
    return clients.back()->connectTo(dir().filePath("fan.sock")) && QTest::qWaitFor([&] { return s.safeConfirmed; });
}

const QTemporaryDir& RfuFanGuardServiceProbe::dir()
{
    if (!files)
        files.emplace();
    return *files;
}

bool RfuFanGuardServiceProbe::attach()
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
    return s.safeConfirmed;
}

void RfuFanGuardServiceProbe::send(QByteArray bytes)
{
    clients.back()->socket.write(
        bytes.replace("<lease>", s.leaseToken.toUtf8()).replace("<session>", s.guardSession.toUtf8()));
    clients.back()->socket.flush();
    settle();
}

void RfuFanGuardServiceProbe::settle()
{
    // Until a pass finds nothing to do: a frame, its status and a simulated reading take three.
    for (int pass = 0; pass < 10 && QAbstractEventDispatcher::instance()->processEvents(QEventLoop::AllEvents);)
        ++pass;
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
}

void RfuFanGuardServiceProbe::step(const QString& step)
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
        const QString before = s.leaseToken;
        message.replace("<lease>", s.leaseToken).replace("<session>", s.guardSession);
        const QJsonObject object = QJsonDocument::fromJson(message.toUtf8()).object();
        const qint64 now = s.guardClock.elapsed() + shiftMs;
        if (const QString refusal = tracker.check(object, now); localRefusal.isEmpty())
            localRefusal = refusal;
        s.handleMessage(object);
        sequence = s.leaseToken != before && !s.leaseToken.isEmpty() ? 0 : sequence;
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
        useFan(dir(), argument);
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
        for (qint64* t : { &s.sampleDeadline, &s.leaseDeadline, &s.lastFeedbackAt, &s.confirmationSince,
                 &s.spinUpReadyAt, &s.offSince, &s.nextRefreshAt })
            *t = *t == -1 ? -1 : *t - verb.toLongLong() == -1 ? -2 : *t - verb.toLongLong();
    } else if (verb == "tick") {
        s.superviseAt(argument == "refresh" ? s.nextRefreshAt : s.guardClock.elapsed());
    } else if (verb == "read") {
        Q_EMIT s.backend.reading(argument.section('/', 0, 0).toInt(),
            argument.contains('/') ? argument.section('/', 1).toInt() : s.requestedRpm);
    } else if (verb == "fail") {
        Q_EMIT s.backend.failed("Fan command exited unsuccessfully");
    } else if (verb == "rpm") {
        s.requestRpm(argument.toInt());
    } else {
        qFatal("unknown step: %s", qPrintable(step));
    }
}

QJsonObject RfuFanGuardServiceProbe::snapshot()
{
    QStringList problems;
    for (const auto& client : clients) {
        client->read();
        problems << client->problems;
    }
    return { { "problems", problems.join(", ") }, { "reason", s.faultReason }, { "requested", s.requestedRpm },
        { "leased", !s.leaseToken.isEmpty() },
        { "ready", s.safeConfirmed && !s.awaitingSafeConfirmation && s.faultReason.isEmpty() },
        { "spinUp", s.spinUpPending }, { "off", s.offSince != -1 }, { "warmup", s.warmupStopUsed },
        { "confirming", s.confirmationSince != -1 }, { "fed", s.lastFeedbackAt != -1 }, { "retry", s.safeRetryUsed },
        { "exhausted", s.recoveryExhausted }, { "sequence", QString::number(s.commandSequence) },
        { "fresh", s.freshSampleCount }, { "client", s.client != nullptr },
        { "sockets", s.server.findChildren<QLocalSocket*>().size() },
        { "closed", clients.back()->socket.state() == QLocalSocket::UnconnectedState },
        { "statuses", clients.back()->statuses } };
}
