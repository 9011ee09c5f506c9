#pragma once

#include <ostrel-client/export.h>
#include <ostrel-client/requeststate.h>
#include <ostrel-client/safetyprofile.h>
#include <ostrel-client/sampletracker.h>

#include <QJsonObject>
#include <QObject>
#include <QString>
#include <memory>

namespace ostrel {

// One status message of the guard: what it asks of the fan, what the fan reports, and
// whether a lease can be had. The guard sends one on connection, after each message of the
// client, and after each reading of the fan (about once a second).
struct GuardStatus {
    QString session; // the guard's run: a new value means the guard has restarted
    QString lease; // the lease token, "" when no lease is held
    QString serial; // the device serial
    quint64 commandSequence = 0; // the sequence of the last accepted request of this lease
    int requestedRpm = -1; // the speed the guard asks of the fan
    bool ready = false; // a lease can be granted
    bool rpmValid = false; // rpm is a fresh reading
    int rpm = 0; // the fan's last reported speed
    qint64 ageMs = -1; // the age of that reading, -1 when there is none
    bool fault = false; // a fault is latched: the fan is held at the safe speed until a restart
    QString reason; // the first latched fault
    bool simulation = false;
    // Not the guard's word now: no status yet, none for a while (GuardClient::NoStatus), or the
    // connection is gone, and then ready is false and lease empty as well.
    bool stale = true;
};

// Reads a status message; members that are missing keep their defaults.
OSTREL_CLIENT_EXPORT GuardStatus parseGuardStatus(const QJsonObject& status);

// A thermal-control client's connection to the guard. It connects to the guard's socket (and
// again, after a growing pause of at most 5 s, whenever the guard turns it away or goes),
// takes the control lease as soon as a status says the guard is ready, numbers the requests,
// and checks each one by the guard's own rules before it is sent: a request the guard would
// refuse is refused here with the guard's reason, and nothing is sent, so a mistake of the
// client's never latches a fault. Each request must be sent within leaseMs() of the last
// accepted one; requestDue() says when. Every time is measured on monotonicMs().
// Single-threaded: use it from the thread that runs its event loop.
//
// Signals come in this order. For a status: connectionStateChanged (when it changes),
// statusReceived, faultLatched, leaseEnded, leaseGranted, requestDue. When the connection
// ends: connectionStateChanged, then leaseEnded(Disconnected). A cause always comes before
// the end of the lease it caused.
class OSTREL_CLIENT_EXPORT GuardClient : public QObject {
    Q_OBJECT
public:
    enum class ConnectionState {
        Disconnected, // before connectToGuard, and after disconnectFromGuard
        Connecting, // a first attempt, or the first after a connection ended
        NoGuard, // nothing listens on the socket: the guard is not running
        Busy, // the guard turned this client away: it serves another
        PermissionDenied, // this user may not open the socket
        Connected, // the guard serves this client: statuses arrive
        NoStatus, // connected, but no status has come for noStatusMs: status() is stale
        SimulatedGuard, // the guard runs in simulation, which this client does not accept
        ForeignGuard, // the guard's device serial is not the profile's
    };
    Q_ENUM(ConnectionState)
    // Why a lease ended. Lapsed: the lease or its sample ran out at the guard, which latched
    // "Control or telemetry deadline expired"; Fault: any other fault (faultLatched came first).
    enum class LeaseEnd { Released, Lapsed, Fault, Disconnected };
    Q_ENUM(LeaseEnd)
    // A working guard sends a status after every reading of the fan, about once a second.
    static constexpr int noStatusMs = 3000;

    explicit GuardClient(const SafetyProfile& profile, QObject* parent = nullptr);
    ~GuardClient() override;

    // Until disconnectFromGuard, the client keeps trying: after NoGuard, Busy, PermissionDenied,
    // SimulatedGuard and ForeignGuard it connects again after a growing pause of at most 5 s.
    void connectToGuard(const QString& socketPath);
    // Closes the connection (a held lease ends, and the guard forces the safe speed).
    void disconnectFromGuard();
    ConnectionState connectionState() const;
    bool isConnected() const; // Connected or NoStatus
    // A guard started with --simulate drives no fan; one on the path a real guard uses would
    // make a controller believe it cools the unit. Refused (SimulatedGuard) unless accepted here.
    void setSimulationAccepted(bool accepted);

    // The one warm-up stop of a guard's run is allowed only in its first lease, before anything
    // made the guard force the safe speed. A status cannot say whether that has happened, so
    // the client assumes it has, unless told that it is the first client of a freshly started
    // guard. A wrong claim costs a latched fault at the first stop request.
    void setWarmupStopExpected(bool expected);
    // Whether to take the lease whenever the guard is ready (the default). release() clears it.
    void setLeaseWanted(bool wanted);
    // The guard's clock and this one differ by a message's transit: every time limit is
    // checked this much on the safe side (default 50 ms).
    void setTimingMarginMs(int marginMs);

    // The guard's last status; see GuardStatus::stale.
    const GuardStatus& status() const;
    bool hasLease() const;
    // Whether a stop (rpm 0, RequestState::WarmupOff, on a new sample) may be requested now: the
    // stop is unused and the lease has had one request with a new sample already (a stop rests
    // on two), or the fan is stopped and at least leaseMs() remain before the stop's limit.
    bool warmupStopAvailable() const;
    // The guard holds the fan stopped: the next running request is a start from standstill,
    // which must be at least spinUpRpm().
    bool fanStopped() const;
    // After a start from standstill, every request must be at least spinUpRpm() until the fan
    // has held that speed for the profile's spin-up time and a request has followed.
    bool spinUpPending() const;
    // The running speed nearest to rpm that the next request may ask for: on the profile's
    // grid and range, and at least spinUpRpm() while the fan is stopped or spinning up.
    int runningRpm(double rpm) const;
    // A safe period for requests: three chances before the lease or the sample runs out.
    int requestIntervalMs() const;

    // Asks for rpm, on the way to targetC, on sample. Returns false, and the guard's reason in
    // *error, when the request is not sent: no lease, or a rule of the guard it would break.
    bool control(int rpm, double targetC, const Sample& sample, RequestState state = RequestState::Regulate,
        QString* error = nullptr);
    // Gives the lease back, and takes none until setLeaseWanted(true); the guard returns the
    // fan to the safe speed. No fault. Once a release is on its way (also the one before a
    // deadline), no request and no second release is sent.
    bool release();
    // When no request has been sent in time to keep the lease and its sample alive (a sensor
    // that stopped delivering, a regulator that hangs), the client releases the lease itself, a
    // transit before the guard's deadline, and says so with releasedBeforeDeadline(): the
    // guard forces the safe speed, with no fault. On by default; the lease is taken again once
    // the guard is ready, unless setLeaseWanted(false).
    void setReleaseBeforeDeadline(bool enabled);
    // How long the next request may still be sent in time: before the lease, or the last
    // sample, runs out at the guard (a transit early); -1 without a lease.
    qint64 timeLeftMs() const;
    // The two limits apart: how long the lease, and the last sample sent, stay alive at the
    // guard (a transit early); -1 without a lease, and for the sample before the lease sent one.
    qint64 leaseTimeLeftMs() const;
    qint64 sampleTimeLeftMs() const;

Q_SIGNALS:
    void connectionStateChanged(ostrel::GuardClient::ConnectionState state);
    void statusReceived(const ostrel::GuardStatus& status);
    void leaseGranted();
    void leaseEnded(ostrel::GuardClient::LeaseEnd reason);
    void faultLatched(const QString& reason);
    // The client released the lease because its deadline was near; leaseEnded(Released)
    // follows once the guard has answered.
    void releasedBeforeDeadline();
    // Time for the next request: at once when the lease is granted, then requestIntervalMs()
    // after each request sent (and again each requestIntervalMs() while none is).
    void requestDue();

private:
    void handleStatus(const QJsonObject& status);
    bool trusted(const GuardStatus& status);
    void setConnectionState(ConnectionState state);
    void connectionEnded();
    void send(const QJsonObject& message);
    void sendRelease();
    void scheduleRetry();
    void armDeadline();

    class Private;
    std::unique_ptr<Private> d;
};

} // namespace ostrel
