// Arbitrary client bytes, written through a real local socket to a guard
// started in simulation, with the guard's safety invariants checked after
// every write and on every status the client reads.
//
// An input is one header byte followed by the bytes the client sends:
// - the bytes are cut at every "<reconnect>"; each part goes over a
//   connection of its own (at most four), the client closing the previous
//   one first;
// - within a part, header bit 4 writes every line on its own and bits 0-2
//   add that many more write boundaries, drawn from a generator seeded with
//   the header, so frames arrive whole, split and batched (at most 64 writes);
// - before each write, "<lease>" and "<session>" become the last lease and the
//   session the client has read from a status, as a real client copies them;
//   the fuzzer could never guess either.
// So "0" followed by lines of JSON sends one frame per write.
//
// Every input gets a fresh guard: nearly every input latches a fault, and a
// latched fault stays for the life of the service.
#include "fuzz/scratchdir.h"
#include "profile/profilevalidation.h"
#include "protocol/frames.h"
#include "service/rfufanguardservice.h"

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QElapsedTimer>
#include <QJsonDocument>
#include <QJsonObject>
#include <QLocalSocket>
#include <QTemporaryDir>
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <sys/ioctl.h>
#include <vector>

// The guard keeps its state private; this program reads it through the one
// friend the class declares.
struct RfuFanGuardServiceProbe {
    const RfuFanGuardService& service;

    const QLocalSocket* client() const { return service.client; }
    const QByteArray& receiveBuffer() const { return service.receiveBuffer; }
    const QString& leaseToken() const { return service.leaseToken; }
    const QString& faultReason() const { return service.faultReason; }
    int requestedRpm() const { return service.requestedRpm; }
    bool safeConfirmed() const { return service.safeConfirmed; }
};

namespace {

// Generous: a pass of the event loop takes microseconds, but an input may
// be 20 kB of frames under the sanitizers.
constexpr int kSettleTimeoutMs = 5000;
constexpr int kUuidLength = 36;
// Every write waits for the guard to go quiet; this keeps an input of a few
// thousand short lines from taking seconds.
constexpr std::size_t kMaximumWrites = 64;
// Four connections show the sample stream and the lease across reconnections;
// what follows a fourth "<reconnect>" is not sent.
constexpr int kMaximumConnections = 4;

const QByteArray kReconnect = QByteArrayLiteral("<reconnect>");
const QByteArray kLeasePlaceholder = QByteArrayLiteral("<lease>");
const QByteArray kSessionPlaceholder = QByteArrayLiteral("<session>");

bool logging = false;
QTemporaryDir* scratch = nullptr;

[[noreturn]] void fail(const char* what, const QByteArray& detail = QByteArray())
{
    std::fprintf(stderr, "fuzz_frames: %s %s\n", what, detail.left(400).constData());
    // abort() runs no destructors, so the scratch directory goes here.
    if (scratch)
        scratch->remove();
    std::abort();
}

// The guard logs every safety request; thousands of them a second only slow
// the fuzzer down. OSTREL_FUZZ_LOG=1 shows them when replaying one input.
void messageHandler(QtMsgType type, const QMessageLogContext&, const QString& message)
{
    if (logging || type == QtFatalMsg)
        std::fprintf(stderr, "%s\n", qUtf8Printable(message));
}

// The values of the example profile, with deadlines long enough that no
// lease, sample or fan reading runs out while an input is fed: the outcome
// depends on the bytes alone.
DeviceProfile fuzzProfile()
{
    DeviceProfile p;
    p.Validated = true;
    p.SampleFreshnessVerified = true;
    p.ExclusiveControlConfirmed = true;
    p.DeviceSerial = QStringLiteral("SN-0001");
    p.BackendProgram = QStringLiteral("/usr/bin/kevo");
    p.RpmReadPattern = QStringLiteral("([0-9]+)");
    p.MinimumTargetC = 20;
    p.MaximumTargetC = 45;
    p.SensorMinimumC = -40;
    p.MaximumTemperatureC = 70;
    p.RecoveryTemperatureC = 60;
    p.MinimumRpm = 1200;
    p.MaximumRpm = 6000;
    p.SpinUpRpm = 3000;
    p.RpmStep = 100;
    p.RpmTolerance = 150;
    p.SpinUpMs = 3000;
    p.SettlingMs = 8000;
    p.MaximumOffMs = 60000;
    p.CommandTimeoutMs = 1000;
    p.MaximumSampleAgeMs = 60000;
    p.LeaseMs = 60000;
    p.MaximumFeedbackAgeMs = 60000;
    p.LeadC = 2;
    p.LeadSeconds = 10;
    p.FilterSeconds = 5;
    p.Kp = 0.8;
    p.Ki = 0.05;
    p.SlewPerSecond = 0.5;
    p.StableBandC = 0.5;
    p.StableSlopeCPerSecond = 0.01;
    p.StableHoldMs = 10000;
    return p;
}

struct Context {
    QTemporaryDir dir { scratchDirTemplate("fuzz_frames") };
    DeviceProfile profile = fuzzProfile();
    QString socketPath = dir.filePath(QStringLiteral("fan.sock"));
};
Context* context = nullptr;

bool onSpeedGrid(int rpm, const DeviceProfile& p)
{
    return rpm == 0 || (rpm >= p.MinimumRpm && rpm <= p.MaximumRpm && rpm % p.RpmStep == 0);
}

// Checks what the client sees: every status is a compact object of 14
// members, and the safe speed shows whenever no lease is held.
QJsonObject checkedStatus(const QByteArray& line, const DeviceProfile& p)
{
    if (line.size() > kFrameLimitBytes)
        fail("status frame over the frame limit:", line);
    const QJsonDocument document = QJsonDocument::fromJson(line);
    const QJsonObject status = document.object();
    if (!document.isObject() || status.size() != 14 || status.value(QLatin1String("version")) != 1
        || status.value(QLatin1String("type")) != QLatin1String("status"))
        fail("status is no status object:", line);
    const QString lease = status.value(QLatin1String("lease")).toString();
    const bool fault = status.value(QLatin1String("fault")).toBool();
    const int requested = status.value(QLatin1String("requestedRpm")).toInt(-1);
    if (fault == status.value(QLatin1String("reason")).toString().isEmpty())
        fail("status fault flag and reason disagree:", line);
    if (!lease.isEmpty() && lease.size() != kUuidLength)
        fail("status lease is no token:", line);
    if (!onSpeedGrid(requested, p))
        fail("status speed is off the profile's grid:", line);
    if ((fault || lease.isEmpty()) && requested != p.MaximumRpm)
        fail("status without a lease or with a fault shows no safe speed:", line);
    if (fault && (!lease.isEmpty() || status.value(QLatin1String("ready")).toBool()))
        fail("status with a fault shows a lease or readiness:", line);
    return status;
}

// The speeds one guard's statuses show, in order: its one warm-up stop comes
// before any safety request, and a start from it stays at spin-up speed (no
// input runs long enough for a spin-up to complete).
class SpeedHistory {
public:
    explicit SpeedHistory(const DeviceProfile& profile)
        : profile(profile)
    {
        clock.start();
    }

    void add(int requested, bool leased, const QByteArray& line)
    {
        if (wasLeased && !leased)
            leaseLost = true; // released, refused or disconnected: each one a safety request
        wasLeased = leased;
        if (requested == 0) {
            if (stopEnded || leaseLost)
                fail("a second warm-up stop, or one after a safety request:", line);
            stopping = true;
        } else if (stopping || stopEnded) {
            stopping = false;
            stopEnded = true;
            if (requested < profile.SpinUpRpm && clock.elapsed() < profile.SpinUpMs / 2)
                fail("a start from standstill below the spin-up speed:", line);
        }
    }

private:
    const DeviceProfile& profile;
    QElapsedTimer clock;
    bool wasLeased = false;
    bool leaseLost = false;
    bool stopping = false;
    bool stopEnded = false;
};

// The client's end of the connection: it reads every status, keeps the last
// lease and the session it was told, and checks each status.
class Client {
public:
    explicit Client(const DeviceProfile& profile)
        : profile(profile)
        , speeds(profile)
    {
        QObject::connect(&socket, &QLocalSocket::readyRead, [this] { readStatuses(); });
    }

    const DeviceProfile& profile;
    SpeedHistory speeds;
    QByteArray buffer;
    QByteArray lease;
    QByteArray session;
    int statusCount = 0;
    // Last member: destroyed first, so no signal reaches the others' remains.
    QLocalSocket socket;

private:
    void readStatuses()
    {
        buffer += socket.readAll();
        for (int lineFeed = buffer.indexOf('\n'); lineFeed >= 0; lineFeed = buffer.indexOf('\n')) {
            const QByteArray line = buffer.left(lineFeed);
            buffer.remove(0, lineFeed + 1);
            const QJsonObject status = checkedStatus(line, profile);
            ++statusCount;
            const QByteArray statusLease = status.value(QLatin1String("lease")).toString().toUtf8();
            speeds.add(status.value(QLatin1String("requestedRpm")).toInt(), !statusLease.isEmpty(), line);
            if (!statusLease.isEmpty())
                lease = statusLease;
            session = status.value(QLatin1String("session")).toString().toUtf8();
        }
    }
};

// The guard's invariants, checked whenever the event loop has gone quiet.
class GuardCheck {
public:
    explicit GuardCheck(const RfuFanGuardServiceProbe& probe)
        : probe(probe)
    {
    }

    void check()
    {
        const DeviceProfile& p = context->profile;
        const int rpm = probe.requestedRpm();
        const QString& lease = probe.leaseToken();
        const QString& reason = probe.faultReason();
        if (!onSpeedGrid(rpm, p))
            fail("requested speed is off the profile's grid:", QByteArray::number(rpm));
        if (!lease.isEmpty() && lease.size() != kUuidLength)
            fail("lease is no token:", lease.toUtf8());
        if (lease.isEmpty() && rpm != p.MaximumRpm)
            fail("no lease is held but the speed is not the safe one:", QByteArray::number(rpm));
        if (!reason.isEmpty() && (!lease.isEmpty() || rpm != p.MaximumRpm))
            fail("a fault is latched but the lease or the speed remain:", reason.toUtf8());
        if (firstReason.isEmpty())
            firstReason = reason;
        else if (reason != firstReason)
            fail("the latched fault reason changed:", (firstReason + QStringLiteral(" -> ") + reason).toUtf8());
        const QLocalSocket* served = probe.client();
        if (served && served->state() == QLocalSocket::ConnectedState
            && probe.receiveBuffer().size() > kFrameLimitBytes)
            fail("receive buffer over the frame limit:", QByteArray::number(probe.receiveBuffer().size()));
    }

private:
    const RfuFanGuardServiceProbe& probe;
    QString firstReason;
};

bool kernelHoldsBytes(const QLocalSocket* socket)
{
    int pending = 0;
    return socket->socketDescriptor() >= 0 && ioctl(int(socket->socketDescriptor()), FIONREAD, &pending) == 0
        && pending > 0;
}

// Nothing left to move: the client's bytes are with the guard, which has read
// all it will read, and the guard's statuses are with the client.
bool quiet(const Client& client, const RfuFanGuardServiceProbe& probe)
{
    const QLocalSocket& own = client.socket;
    if (own.bytesToWrite() > 0)
        return false;
    if (own.state() == QLocalSocket::ConnectedState && (own.bytesAvailable() > 0 || kernelHoldsBytes(&own)))
        return false;
    const QLocalSocket* served = probe.client();
    if (!served)
        return true;
    if (served->bytesToWrite() > 0)
        return false;
    // A connection being closed is read no more.
    return served->state() != QLocalSocket::ConnectedState
        || (served->bytesAvailable() == 0 && !kernelHoldsBytes(served));
}

void waitFor(const std::function<bool()>& done, const char* what)
{
    const QDeadlineTimer deadline(kSettleTimeoutMs);
    while (!done()) {
        if (deadline.hasExpired())
            fail(what);
        QCoreApplication::processEvents();
    }
}

// Quiet on two passes in a row: the second delivers what the first posted,
// such as the simulated fan's reading.
void settle(const Client& client, const RfuFanGuardServiceProbe& probe)
{
    int quietPasses = 0;
    waitFor(
        [&] {
            quietPasses = quiet(client, probe) ? quietPasses + 1 : 0;
            return quietPasses >= 2;
        },
        "the guard stopped reading its client or the client its statuses");
}

quint64 splitMix(quint64* state)
{
    quint64 z = (*state += 0x9E3779B97F4A7C15ULL);
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ULL;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBULL;
    return z ^ (z >> 31);
}

// The end of every write of one part, in order; at most kMaximumWrites, the
// last taking whatever remains.
std::vector<int> writeEnds(const QByteArray& part, quint8 header, int partIndex)
{
    std::vector<int> ends;
    if (header & 0x10) {
        for (int lineFeed = part.indexOf('\n'); lineFeed >= 0; lineFeed = part.indexOf('\n', lineFeed + 1))
            ends.push_back(lineFeed + 1);
    }
    quint64 state = (quint64(header) << 32) | quint64(partIndex);
    for (int i = 0; i < (header & 0x07); ++i)
        ends.push_back(int(splitMix(&state) % quint64(part.size() + 1)));
    std::sort(ends.begin(), ends.end());
    ends.erase(std::unique(ends.begin(), ends.end()), ends.end());
    if (ends.size() >= kMaximumWrites)
        ends.resize(kMaximumWrites - 1);
    ends.push_back(part.size());
    return ends;
}

bool stillServed(const RfuFanGuardServiceProbe& probe)
{
    return probe.client() && probe.client()->state() == QLocalSocket::ConnectedState;
}

} // namespace

// Qt's JSON parser leaks the earlier value of a repeated key when that value
// is an array or an object, and the guard accepts such frames. Through the
// uninstrumented Qt library the sanitizer's stacks cannot tell that leak from
// one of the guard's own, so leak checking is off for this target; run with
// ASAN_OPTIONS=detect_leaks=1 to see it.
extern "C" const char* __asan_default_options() { return "detect_leaks=0"; }

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    static int argc = 1;
    static char name[] = "fuzz_frames";
    static char* argv[] = { name, nullptr };
    static QCoreApplication application(argc, argv);
    logging = qEnvironmentVariableIntValue("OSTREL_FUZZ_LOG") != 0;
    qInstallMessageHandler(messageHandler);
    static Context shared;
    scratch = &shared.dir;
    QString error;
    if (!shared.dir.isValid() || !validateDeviceProfile(shared.profile, &error)
        || !checkRecoveryBudget(shared.profile, &error))
        fail("no usable temporary directory or profile:", error.toUtf8());
    context = &shared;
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    if (size == 0)
        return 0;
    const quint8 header = data[0];
    const QByteArray payload = QByteArray::fromRawData(reinterpret_cast<const char*>(data + 1), int(size - 1));

    RfuFanGuardService service(context->profile, true);
    const RfuFanGuardServiceProbe probe { service };
    QString error;
    if (!service.start(context->socketPath, false, &error))
        fail("the guard did not start:", error.toUtf8());
    GuardCheck guard(probe);
    waitFor([&] { return probe.safeConfirmed(); }, "the simulated fan never confirmed the safe speed");
    guard.check();

    Client client(context->profile);
    int from = 0;
    for (int partIndex = 0;; ++partIndex) {
        const int statusesBefore = client.statusCount;
        client.buffer.clear();
        client.socket.connectToServer(context->socketPath);
        waitFor([&] { return client.statusCount > statusesBefore; }, "the guard sent no status to a new client");
        settle(client, probe);
        guard.check();

        const int cut = payload.indexOf(kReconnect, from);
        const QByteArray part = payload.mid(from, cut < 0 ? -1 : cut - from);
        int begin = 0;
        for (const int end : writeEnds(part, header, partIndex)) {
            if (end == begin)
                continue;
            if (!stillServed(probe))
                break; // refused: the guard reads this connection no more
            QByteArray bytes = part.mid(begin, end - begin);
            bytes.replace(kLeasePlaceholder, client.lease).replace(kSessionPlaceholder, client.session);
            begin = end;
            client.socket.write(bytes);
            client.socket.flush();
            settle(client, probe);
            guard.check();
        }

        // Leaving, with or without the lease, must leave the safe speed and no
        // lease; and the guard turns a newcomer away until it has noticed.
        client.socket.disconnectFromServer();
        waitFor([&] { return !probe.client(); }, "the guard never noticed the client leave");
        settle(client, probe);
        guard.check();
        if (!probe.leaseToken().isEmpty())
            fail("the lease outlived its client");
        if (cut < 0 || partIndex + 1 == kMaximumConnections)
            break;
        from = cut + kReconnect.size();
    }
    return 0;
}
