// The guard driven by scenario steps: one table of verbs (tables/README.md), and the read-back keys.
#include "harness.h"

#include <sys/socket.h>

using Probe = RfuFanGuardServiceProbe;

namespace {

// Where the guard's warning of a connection closed without a lease goes: the probe's unleasedClose.
QString* unleasedCloseSink = nullptr;
QtMessageHandler passedOn = nullptr;

void captureUnleasedClose(QtMsgType type, const QMessageLogContext& context, const QString& message)
{
    static const QString prefix = "[RFU_GUARD] connection without a lease closed: ";
    if (unleasedCloseSink && message.startsWith(prefix))
        *unleasedCloseSink = message.mid(prefix.size());
    passedOn(type, context, message);
}

} // namespace

RfuFanGuardServiceProbe::RfuFanGuardServiceProbe(const QString& changes, bool simulate)
    : s(loadedProfile(kShortTimings + ';' + changes), simulate)
{
    unleasedCloseSink = &unleasedClose;
    if (const QtMessageHandler previous = qInstallMessageHandler(captureUnleasedClose);
        previous != captureUnleasedClose)
        passedOn = previous;
    if (!simulate) {
        useFan(dir());
        manager.emplace(dir().filePath("notify"));
        qputenv("NOTIFY_SOCKET", dir().filePath("notify").toUtf8());
        qputenv("WATCHDOG_USEC", "1000000");
    }
}

RfuFanGuardServiceProbe::~RfuFanGuardServiceProbe() { unleasedCloseSink = nullptr; }

const QTemporaryDir& RfuFanGuardServiceProbe::dir()
{
    if (!files)
        files.emplace();
    return *files;
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
    return clients.back()->connectTo(dir().filePath("fan.sock"))
        && QTest::qWaitFor([&] { return s.control.safeConfirmed; });
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
    return s.control.safeConfirmed;
}

void RfuFanGuardServiceProbe::addClient(bool served)
{
    clients.push_back(std::make_unique<Client>());
    clients.back()->connectTo(dir().filePath("fan.sock"), served);
    settle();
}

void RfuFanGuardServiceProbe::send(QByteArray bytes)
{
    clients.back()->socket.write(
        bytes.replace("<lease>", s.control.leaseToken.toUtf8()).replace("<session>", s.guardSession.toUtf8()));
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

void RfuFanGuardServiceProbe::passTime(qint64 ms)
{
    shiftMs += ms;
    s.control.passTime(ms);
}

void RfuFanGuardServiceProbe::handle(QString message)
{
    const QString leaseBefore = s.control.leaseToken;
    message.replace("<lease>", s.control.leaseToken).replace("<session>", s.guardSession);
    const QJsonObject object = QJsonDocument::fromJson(message.toUtf8()).object();
    const QString refusal = tracker.check(object, s.guardClock.elapsed() + shiftMs);
    s.handleMessage(object);
    // The library cannot see under which setpoint a reading was taken, so it may hold a spin-up
    // the guard has ended (ControlTracker::readingSeen): the one refusal it may add.
    const bool spinUpHeld = refusal == "Unsafe stop or spin-up request" && s.control.faultReason.isEmpty()
        && !s.control.spinUpPending && tracker.spinUpPending();
    if (localRefusal.isEmpty() && !spinUpHeld)
        localRefusal = refusal;
    if (s.control.leaseToken != leaseBefore && !s.control.leaseToken.isEmpty())
        sequence = 0;
}

QString RfuFanGuardServiceProbe::controlRequest(const QString& changes)
{
    QJsonObject sample { { "valid", true }, { "serial", "SN-0001" }, { "session", "sensor-1" },
        { "sequence", QString::number(++sampleSequence) }, { "temperatureC", 30 }, { "ageMs", 0 } };
    QJsonObject m { { "version", 1 }, { "type", "control" }, { "lease", "<lease>" }, { "session", "<session>" },
        { "sequence", QString::number(++sequence) }, { "progress", QString::number(sequence) }, { "rpm", 6000 },
        { "targetC", 30 }, { "state", "" }, { "sample", sample } };
    for (const QString& change : changes.split(' ', Qt::SkipEmptyParts)) {
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
    return QJsonDocument(m).toJson(QJsonDocument::Compact);
}

bool RfuFanGuardServiceProbe::step(const QString& step)
{
    // What the guard wrote in the last step reaches the library before any time passes.
    for (const auto& client : clients) {
        if (s.client)
            s.client->flush();
        client->socket.waitForReadyRead(0);
        client->read();
    }
    using Verb = std::function<void(Probe & p, const QString& argument)>;
    static const QHash<QString, Verb> verbs {
        { "hello", [](Probe& p, auto) { p.handle(R"({"version":1,"type":"hello","serial":"SN-0001"})"); } },
        { "ctl", [](Probe& p, const QString& changes) { p.handle(p.controlRequest(changes)); } },
        { "msg", [](Probe& p, const QString& json) { p.handle(json); } },
        { "release",
            [](Probe& p, auto) {
                p.handle(R"({"version":1,"type":"release","lease":"<lease>","session":"<session>"})");
            } },
        { "send",
            [](Probe& p, const QString& text) {
                p.send(QJsonDocument::fromJson(("[" + text + "]").toUtf8()).array().at(0).toString().toUtf8());
            } },
        { "pad",
            [](Probe& p, const QString& size) {
                const QByteArray hello = R"({"version":1,"type":"hello","serial":"SN-0001")";
                p.send(hello + QByteArray(size.section(' ', 0, 0).toInt() - hello.size() - 1, ' ') + '}'
                    + (size.endsWith("lf") ? "\n" : ""));
            } },
        { "connect", [](Probe& p, auto) { p.addClient(false); } },
        { "join", [](Probe& p, auto) { p.addClient(true); } },
        { "drop",
            [](Probe& p, auto) { // the client object stays for its statuses
                p.clients.back()->read();
                p.clients.back()->socket.abort();
                p.settle();
            } },
        { "reader",
            [](Probe& p, const QString& count) {
                for (int i = 0; i < qMax(count.toInt(), 1); ++i) {
                    p.readers.push_back(std::make_unique<Client>());
                    p.readers.back()->connectTo(p.s.statusSocketPath, false);
                }
                (void)QTest::qWaitFor([&] { // until each is served or turned away
                    return std::all_of(p.readers.begin(), p.readers.end(), [](const auto& reader) {
                        reader->read();
                        return reader->statuses > 0 || reader->socket.state() == QLocalSocket::UnconnectedState;
                    });
                });
            } },
        { "reader-sends",
            [](Probe& p, auto) {
                p.readers.back()->socket.write("x");
                p.settle();
            } },
        { "flood", // until the guard drops it
            [](Probe& p, const QString& who) {
                Client& reader = who == "reader" ? *p.readers.back() : *p.clients.back();
                const auto held = [&] { return p.s.statusReaders.size() + (p.s.client ? 1 : 0); };
                reader.socket.setReadBufferSize(1);
                for (auto [i, before] = std::pair(0, held()); i < 100000 && held() == before; ++i)
                    p.s.sendStatus(), QCoreApplication::processEvents();
                reader.socket.setReadBufferSize(0); // reading again, it sees the end
            } },
        { "run", [](Probe& p, auto) { p.settle(); } },
        { "live", [](Probe& p, auto) { p.s.supervisionTimer.start(250); } },
        { "+", [](Probe& p, const QString& ms) { p.passTime(ms.toLongLong()); } },
        { "tick",
            [](Probe& p, const QString& when) {
                p.s.superviseAt(when == "refresh" ? p.s.control.nextRefreshAt : p.s.guardClock.elapsed());
            } },
        { "read",
            [](Probe& p, const QString& reading) {
                Q_EMIT p.s.backend.reading(reading.section('/', 0, 0).toInt(),
                    reading.contains('/') ? reading.section('/', 1).toInt() : p.s.control.requestedRpm);
            } },
        { "fail", [](Probe& p, auto) { Q_EMIT p.s.backend.failed("Fan command exited unsuccessfully"); } },
        { "rpm", [](Probe& p, const QString& rpm) { p.s.requestRpm(rpm.toInt()); } },
        { "fan", [](Probe& p, const QString& lines) { useFan(p.dir(), QString(lines).replace(',', ';')); } },
        { "kevo", [](Probe&, const QString& arguments) { QProcess::execute(KEVO_SIM_PROGRAM, arguments.split(' ')); } },
        { "until", // bounded; the checks after it tell whether it was met
            [](Probe& p, const QString& checks) {
                (void)QTest::qWaitFor([&] { return holds(p.snapshot(), checks); }, 10000);
            } },
    };
    const QString verb = step.startsWith('+') ? "+" : step.section(' ', 0, 0);
    const auto found = verbs.constFind(verb);
    if (found == verbs.cend())
        return harnessFailed("unknown step: " + step);
    (*found)(*this, verb == "+" ? step.mid(1) : step.section(' ', 1));
    return true;
}

QJsonObject RfuFanGuardServiceProbe::snapshot()
{
    QStringList problems;
    for (const auto* group : { &clients, &readers }) {
        for (const auto& client : *group) {
            client->read();
            problems << client->problems;
        }
    }
    const ControlState& c = s.control;
    const auto set = [](bool isSet) { return isSet ? "set" : "none"; };
    return { { "faultReason", c.faultReason }, { "requestedRpm", c.requestedRpm },
        { "leaseToken", set(!c.leaseToken.isEmpty()) }, { "ready", c.ready() }, { "spinUpPending", c.spinUpPending },
        { "offSince", set(c.offSince != -1) }, { "warmupStopUsed", c.warmupStopUsed },
        { "confirmationSince", set(c.confirmationSince != -1) }, { "lastFeedbackAt", set(c.lastFeedbackAt != -1) },
        { "safeResendAt", set(c.safeResendAt != -1) }, { "safeRetryUsed", c.safeRetryUsed },
        { "recoveryExhausted", c.recoveryExhausted }, { "commandSequence", QString::number(c.commandSequence) },
        { "freshSampleCount", c.freshSampleCount }, { "tracker.spinUpPending", tracker.spinUpPending() },
        { "problems", problems.join(", ") }, { "client", s.client != nullptr },
        { "sockets",
            s.server.findChildren<QLocalSocket*>().size() + s.statusServer.findChildren<QLocalSocket*>().size() },
        { "closed", clients.back()->socket.state() == QLocalSocket::UnconnectedState },
        { "statuses", clients.back()->statuses }, { "fan", fanSetpoint(dir()) },
        { "readers", int(s.statusReaders.size()) },
        { "reader.statuses", readers.empty() ? 0 : readers.back()->statuses },
        { "reader.gone", !readers.empty() && readers.back()->socket.state() == QLocalSocket::UnconnectedState } };
}

QString RfuFanGuardServiceProbe::failedCheck(const QJsonObject& state, const QString& checks)
{
    for (const QString& check : checks.split(' ', Qt::SkipEmptyParts)) {
        const QString seen
            = check.section('=', 0, 0) + '=' + state.value(check.section('=', 0, 0)).toVariant().toString();
        if (seen != check)
            return seen;
    }
    return {};
}
