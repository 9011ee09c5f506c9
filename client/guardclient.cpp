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
    QTimer deadlineTimer; // the release before the guard's deadline
    bool releaseBeforeDeadline = true;
    QString socketPath;
    FrameReader frames;
    GuardStatus status;
    int retryMs = kFirstRetryMs;
    bool wanted = false; // connectToGuard until disconnectFromGuard
    bool leaseWanted = true;
    bool served = false; // the guard has sent its first status on this connection
    qint64 lastHelloAt = -1;
};

GuardClient::GuardClient(const SafetyProfile& profile, QObject* parent)
    : QObject(parent)
    , d(std::make_unique<Private>(profile))
{
    d->retryTimer.setSingleShot(true);
    d->deadlineTimer.setSingleShot(true);
    d->deadlineTimer.setTimerType(Qt::PreciseTimer); // a coarse timer may fire 5% late
    connect(&d->deadlineTimer, &QTimer::timeout, this, [this] {
        // A request sent meanwhile has moved the deadline, and armed the timer again.
        if (!hasLease() || timeLeftMs() > 0)
            return;
        sendRelease();
        Q_EMIT releasedBeforeDeadline();
    });
    connect(&d->retryTimer, &QTimer::timeout, this, [this] { d->socket.connectToServer(d->socketPath); });
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
        if (state != QLocalSocket::UnconnectedState)
            return;
        const bool wasServed = std::exchange(d->served, false);
        d->frames.clear();
        d->lastHelloAt = -1;
        if (wasServed)
            Q_EMIT connectedChanged(false);
        if (!d->status.lease.isEmpty()) {
            d->status.lease.clear();
            d->deadlineTimer.stop();
            Q_EMIT leaseEnded();
        }
        scheduleRetry();
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
    d->socket.connectToServer(d->socketPath);
}

void GuardClient::disconnectFromGuard()
{
    d->wanted = false;
    d->retryTimer.stop();
    d->socket.disconnectFromServer();
}

bool GuardClient::isConnected() const { return d->served; }
void GuardClient::setWarmupStopExpected(bool expected) { d->tracker.setWarmupStopExpected(expected); }

void GuardClient::setTimingMarginMs(int marginMs) { d->tracker.setMarginMs(marginMs); }

const GuardStatus& GuardClient::status() const { return d->status; }
bool GuardClient::hasLease() const { return !d->status.lease.isEmpty(); }
bool GuardClient::warmupStopAvailable() const { return d->tracker.warmupStopAvailable(monotonicMs()); }
bool GuardClient::spinUpPending() const { return d->tracker.spinUpPending(); }

void GuardClient::setReleaseBeforeDeadline(bool enabled)
{
    d->releaseBeforeDeadline = enabled;
    armDeadline();
}

qint64 GuardClient::timeLeftMs() const
{
    const qint64 deadline = d->tracker.deadline();
    // The release itself takes a transit to arrive.
    return deadline < 0 ? -1 : qMax<qint64>(0, deadline - d->tracker.transitMs() - monotonicMs());
}

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

bool GuardClient::control(int rpm, double targetC, const Sample& sample, const QString& state, QString* error)
{
    const QJsonObject message = d->tracker.controlMessage(rpm, targetC, sample, state);
    const QString refusal
        = d->served ? d->tracker.check(message, monotonicMs()) : QStringLiteral("Invalid or expired control lease");
    if (!refusal.isEmpty()) {
        if (error)
            *error = refusal;
        return false;
    }
    send(message);
    armDeadline();
    return true;
}

void GuardClient::setLeaseWanted(bool wanted) { d->leaseWanted = wanted; }

bool GuardClient::release()
{
    d->leaseWanted = false;
    if (!hasLease())
        return false;
    sendRelease();
    return true;
}

void GuardClient::sendRelease()
{
    send({ { "version", 1 }, { "type", "release" }, { "lease", d->tracker.lease() },
        { "session", d->tracker.session() } });
}

void GuardClient::send(const QJsonObject& message)
{
    d->socket.write(QJsonDocument(message).toJson(QJsonDocument::Compact) + '\n');
}

void GuardClient::handleStatus(const QJsonObject& object)
{
    if (object.value(QLatin1String("type")).toString() != QLatin1String("status"))
        return;
    d->tracker.statusReceived(object, monotonicMs());
    const GuardStatus previous = std::exchange(d->status, parseGuardStatus(object));
    if (!d->served) {
        d->served = true;
        d->retryMs = kFirstRetryMs;
        Q_EMIT connectedChanged(true);
    }
    Q_EMIT statusReceived(d->status);
    if (d->status.fault && (!previous.fault || previous.session != d->status.session))
        Q_EMIT faultLatched(d->status.reason);
    if (previous.lease != d->status.lease) {
        armDeadline();
        if (!previous.lease.isEmpty())
            Q_EMIT leaseEnded();
        if (!d->status.lease.isEmpty())
            Q_EMIT leaseGranted();
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

void GuardClient::scheduleRetry()
{
    if (!d->wanted || d->retryTimer.isActive())
        return;
    d->retryTimer.start(d->retryMs);
    d->retryMs = qMin(d->retryMs * 2, kLongestRetryMs);
}

} // namespace ostrel
