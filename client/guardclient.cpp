// The connection to the guard: frames, reconnection, the lease, and requests checked first.
#include <ostrel-client/guardclient.h>

#include "controltracker.h"
#include "profilefields.h"
#include "protocol/framereader.h"

#include <QFileInfo>
#include <QJsonDocument>
#include <QLocalSocket>
#include <QTimer>
#include <climits>

namespace ostrel {

namespace {

constexpr int kFirstRetryMs = 100;
constexpr int kLongestRetryMs = 5000;
// The guard closes a connection without a lease that sends nothing for 5 s; a hello, refused at
// no cost while the guard is not ready, keeps the place.
constexpr qint64 kWaitingHelloMs = 2000;
constexpr int kDefaultMarginMs = 50;

} // namespace

GuardStatus parseGuardStatus(const QJsonObject& o)
{
    GuardStatus s;
    s.session = o.value(QLatin1String("session")).toString();
    s.lease = o.value(QLatin1String("lease")).toString();
    s.serial = o.value(QLatin1String("serial")).toString();
    s.commandSequence = o.value(QLatin1String("commandSequence")).toString().toULongLong();
    s.requestedRpm = o.value(QLatin1String("requestedRpm")).toInt(-1);
    s.ready = o.value(QLatin1String("ready")).toBool();
    s.rpmValid = o.value(QLatin1String("rpmValid")).toBool();
    s.rpm = o.value(QLatin1String("rpm")).toInt();
    s.ageMs = statusWhole(o, "ageMs", -1);
    s.fault = o.value(QLatin1String("fault")).toBool();
    s.reason = o.value(QLatin1String("reason")).toString();
    s.simulation = o.value(QLatin1String("simulation")).toBool();
    return s;
}

QString requestStateName(RequestState state)
{
    switch (state) {
    case RequestState::WarmupOff:
        return QStringLiteral("WarmupOff");
    case RequestState::SpinUp:
        return QStringLiteral("SpinUp");
    case RequestState::Stable:
        return QStringLiteral("Stable");
    case RequestState::Regulate:
        break;
    }
    return QStringLiteral("Regulate");
}

class GuardClient::Private {
public:
    Private(const SafetyProfile& profile)
        : profile(profile)
        , tracker(fieldsOf(this->profile), kDefaultMarginMs)
    {
    }

    SafetyProfile profile;
    ControlTracker tracker;
    QLocalSocket socket;
    QTimer retryTimer;
    QTimer statusTimer; // no status in time
    QTimer dueTimer; // the next request
    QTimer deadlineTimer; // the release before the guard's deadline
    bool releaseBeforeDeadline = true;
    bool simulationAccepted = false;
    QString socketPath;
    FrameReader frames;
    GuardStatus status;
    ConnectionState state = ConnectionState::Disconnected;
    ConnectionState refusal = ConnectionState::Disconnected; // why this client closed the connection
    int retryMs = kFirstRetryMs;
    bool wanted = false; // connectToGuard until disconnectFromGuard
    bool leaseWanted = true;
    bool reached = false; // the connection was accepted
    bool served = false; // the guard has sent its first status on this connection
    bool releasing = false; // a release is on its way: the lease ends with the guard's answer
    qint64 lastHelloAt = -1;
};

GuardClient::GuardClient(const SafetyProfile& profile, QObject* parent)
    : QObject(parent)
    , d(std::make_unique<Private>(profile))
{
    d->retryTimer.setSingleShot(true);
    d->statusTimer.setSingleShot(true);
    d->deadlineTimer.setSingleShot(true);
    d->deadlineTimer.setTimerType(Qt::PreciseTimer); // a coarse timer may fire 5% late
    connect(&d->deadlineTimer, &QTimer::timeout, this, [this] {
        // A request sent meanwhile has moved the deadline, and armed the timer again.
        if (!hasLease() || d->releasing || timeLeftMs() > 0)
            return;
        sendRelease();
        Q_EMIT releasedBeforeDeadline();
    });
    connect(&d->dueTimer, &QTimer::timeout, this, &GuardClient::requestDue);
    connect(&d->statusTimer, &QTimer::timeout, this, [this] {
        d->status.stale = true;
        setConnectionState(ConnectionState::NoStatus);
    });
    connect(&d->retryTimer, &QTimer::timeout, this, [this] { d->socket.connectToServer(d->socketPath); });
    connect(&d->socket, &QLocalSocket::connected, this, [this] {
        d->reached = true;
        d->statusTimer.start(noStatusMs);
    });
    connect(&d->socket, &QLocalSocket::readyRead, this, [this] {
        d->frames.append(d->socket.readAll());
        QJsonObject status;
        QString error;
        while (d->socket.state() == QLocalSocket::ConnectedState && d->frames.next(&status, &error))
            handleStatus(status);
        if (!error.isEmpty())
            d->socket.abort(); // no guard writes that: whatever is there, it is not one
    });
    // A refused connection attempt and the end of a connection alike end here.
    connect(&d->socket, &QLocalSocket::stateChanged, this, [this](QLocalSocket::LocalSocketState state) {
        if (state == QLocalSocket::UnconnectedState)
            connectionEnded();
    });
}

GuardClient::~GuardClient()
{
    // The socket's last signals must not reach a half-destroyed client.
    d->socket.disconnect(this);
}

void GuardClient::connectToGuard(const QString& socketPath)
{
    d->wanted = false;
    d->socket.abort();
    // As the guard takes its path; a bare name would be looked for in the temporary folder.
    d->socketPath = QFileInfo(socketPath).absoluteFilePath();
    d->wanted = true;
    d->retryMs = kFirstRetryMs;
    d->retryTimer.stop();
    setConnectionState(ConnectionState::Connecting);
    d->socket.connectToServer(d->socketPath);
}

void GuardClient::disconnectFromGuard()
{
    d->wanted = false;
    d->retryTimer.stop();
    d->socket.disconnectFromServer();
    if (d->socket.state() == QLocalSocket::UnconnectedState)
        setConnectionState(ConnectionState::Disconnected);
}

GuardClient::ConnectionState GuardClient::connectionState() const { return d->state; }
bool GuardClient::isConnected() const { return d->served; }
void GuardClient::setSimulationAccepted(bool accepted) { d->simulationAccepted = accepted; }
void GuardClient::setWarmupStopExpected(bool expected) { d->tracker.setWarmupStopExpected(expected); }

void GuardClient::setTimingMarginMs(int marginMs) { d->tracker.setMarginMs(marginMs); }

const GuardStatus& GuardClient::status() const { return d->status; }
bool GuardClient::hasLease() const { return !d->status.lease.isEmpty(); }
bool GuardClient::warmupStopAvailable() const { return d->tracker.warmupStopAvailable(monotonicMs()); }
bool GuardClient::fanStopped() const { return d->tracker.fanStopped(); }
bool GuardClient::spinUpPending() const { return d->tracker.spinUpPending(); }

int GuardClient::runningRpm(double rpm) const
{
    return d->profile.runningRpm(rpm, fanStopped() || spinUpPending() ? d->profile.spinUpRpm() : 0);
}

void GuardClient::setReleaseBeforeDeadline(bool enabled)
{
    d->releaseBeforeDeadline = enabled;
    armDeadline();
}

namespace {

// From a deadline on the tracker's clock to the time left now; the release itself takes a
// transit to arrive.
qint64 timeLeft(qint64 deadline, const ControlTracker& tracker)
{
    return deadline < 0 ? -1 : qMax<qint64>(0, deadline - tracker.transitMs() - monotonicMs());
}

} // namespace

qint64 GuardClient::timeLeftMs() const { return timeLeft(d->tracker.deadline(), d->tracker); }
qint64 GuardClient::leaseTimeLeftMs() const { return timeLeft(d->tracker.leaseDeadline(), d->tracker); }
qint64 GuardClient::sampleTimeLeftMs() const { return timeLeft(d->tracker.sampleDeadline(), d->tracker); }

void GuardClient::armDeadline()
{
    if (d->releaseBeforeDeadline && hasLease())
        d->deadlineTimer.start(int(qMin<qint64>(timeLeftMs(), INT_MAX)));
    else
        d->deadlineTimer.stop();
}

int GuardClient::requestIntervalMs() const
{
    // Three chances before the lease or the sample runs out.
    return qMax(1, qMin(d->profile.leaseMs(), d->profile.maximumSampleAgeMs()) / 3);
}

bool GuardClient::control(int rpm, double targetC, const Sample& sample, RequestState state, QString* error)
{
    const QJsonObject message = d->tracker.controlMessage(rpm, targetC, sample, requestStateName(state));
    const QString refusal = d->served && !d->releasing ? d->tracker.check(message, monotonicMs())
                                                       : QStringLiteral("Invalid or expired control lease");
    if (!refusal.isEmpty()) {
        if (error)
            *error = refusal;
        return false;
    }
    send(message);
    armDeadline();
    d->dueTimer.start(requestIntervalMs());
    return true;
}

void GuardClient::setLeaseWanted(bool wanted) { d->leaseWanted = wanted; }

bool GuardClient::release()
{
    d->leaseWanted = false;
    if (!hasLease() || d->releasing)
        return false;
    sendRelease();
    return true;
}

void GuardClient::sendRelease()
{
    d->dueTimer.stop();
    d->releasing = true;
    send({ { "version", 1 }, { "type", "release" }, { "lease", d->tracker.lease() },
        { "session", d->tracker.session() } });
}

void GuardClient::send(const QJsonObject& message)
{
    d->socket.write(QJsonDocument(message).toJson(QJsonDocument::Compact) + '\n');
}

void GuardClient::setConnectionState(ConnectionState state)
{
    if (std::exchange(d->state, state) != state)
        Q_EMIT connectionStateChanged(state);
}

// A guard is what answers on its socket only if it drives the profile's fan, and for real
// unless the application accepts a simulation.
bool GuardClient::trusted(const GuardStatus& status)
{
    if (status.simulation && !d->simulationAccepted)
        d->refusal = ConnectionState::SimulatedGuard;
    else if (status.serial != d->profile.deviceSerial())
        d->refusal = ConnectionState::ForeignGuard;
    else
        return true;
    d->socket.abort();
    return false;
}

void GuardClient::handleStatus(const QJsonObject& object)
{
    if (object.value(QLatin1String("type")).toString() != QLatin1String("status"))
        return;
    GuardStatus next = parseGuardStatus(object);
    next.stale = false;
    if (!trusted(next))
        return;
    d->statusTimer.start(noStatusMs);
    d->tracker.statusReceived(object, monotonicMs());
    const GuardStatus previous = std::exchange(d->status, next);
    if (!std::exchange(d->served, true))
        d->retryMs = kFirstRetryMs;
    setConnectionState(ConnectionState::Connected);
    Q_EMIT statusReceived(d->status);
    if (d->status.fault && (!previous.fault || previous.session != d->status.session))
        Q_EMIT faultLatched(d->status.reason);
    if (previous.lease != d->status.lease) {
        d->releasing = false;
        armDeadline();
        d->dueTimer.stop();
        // The guard takes a lease back without a fault only on a release.
        const LeaseEnd end = !d->status.fault                                            ? LeaseEnd::Released
            : d->status.reason == QLatin1String("Control or telemetry deadline expired") ? LeaseEnd::Lapsed
                                                                                         : LeaseEnd::Fault;
        if (!previous.lease.isEmpty())
            Q_EMIT leaseEnded(end);
        if (!d->status.lease.isEmpty()) {
            Q_EMIT leaseGranted();
            d->dueTimer.start(requestIntervalMs());
            Q_EMIT requestDue();
        }
    }
    // A refused hello costs nothing, and the guard answers at once. Asking again only after a
    // lease's time, or 2 s, keeps every earlier hello answered, so the lease is timed from the last one.
    const qint64 now = monotonicMs();
    if (d->leaseWanted && d->status.lease.isEmpty()
        && ((d->status.ready && !previous.ready) || d->lastHelloAt < 0
            || now - d->lastHelloAt >= qMin<qint64>(d->profile.leaseMs(), kWaitingHelloMs))) {
        const QJsonObject hello { { "version", 1 }, { "type", "hello" }, { "serial", d->profile.deviceSerial() } };
        d->lastHelloAt = now;
        d->tracker.check(hello, now);
        send(hello);
    }
}

void GuardClient::connectionEnded()
{
    const bool wasServed = std::exchange(d->served, false);
    const bool wasReached = std::exchange(d->reached, false);
    d->frames.clear();
    d->lastHelloAt = -1;
    d->statusTimer.stop();
    d->status.stale = true;
    d->status.ready = false; // no lease can be had on a connection that is gone
    // Unless this client refused the guard, or is done with it, the way the connection ended says why.
    ConnectionState next = std::exchange(d->refusal, ConnectionState::Disconnected);
    if (!d->wanted)
        next = ConnectionState::Disconnected;
    else if (next == ConnectionState::Disconnected && d->socket.error() == QLocalSocket::SocketAccessError)
        next = ConnectionState::PermissionDenied;
    else if (next == ConnectionState::Disconnected)
        next = wasServed ? ConnectionState::Connecting // lost: try again
            : wasReached ? ConnectionState::Busy // a guard closes a connection it cannot serve unanswered
                         : ConnectionState::NoGuard;
    setConnectionState(next);
    d->releasing = false;
    if (!d->status.lease.isEmpty()) {
        d->status.lease.clear();
        d->deadlineTimer.stop();
        d->dueTimer.stop();
        Q_EMIT leaseEnded(LeaseEnd::Disconnected);
    }
    scheduleRetry();
}
void GuardClient::scheduleRetry()
{
    if (!d->wanted || d->retryTimer.isActive())
        return;
    d->retryTimer.start(d->retryMs);
    d->retryMs = qMin(d->retryMs * 2, kLongestRetryMs);
}

} // namespace ostrel
