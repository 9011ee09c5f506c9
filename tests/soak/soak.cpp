// Fault soak: a real guard driving kevo-sim, with clients that lease, steer, release and
// vanish at random, and faults injected from both sides. After every event it checks
// that the guard ends where it must, and over the whole run that it neither leaks nor
// stops feeding the watchdog. Bounded in time: ostrel_soak [--seconds N] [--seed S].
#include "kevosimfan.h"
#include "notifypeer.h"
#include "processrun.h"
#include "profilefixtures.h"
#include "testclient.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QRandomGenerator>
#include <QTemporaryDir>
#include <QtTest>
#include <cstdio>
#include <limits>

namespace {

constexpr int kMaximumRpm = 6000;
constexpr int kSettlingMs = RealFanTimings::SettlingMs;
constexpr int kLeaseMs = RealFanTimings::LeaseMs;
constexpr int kCommandTimeoutMs = RealFanTimings::CommandTimeoutMs;
constexpr int kPollIntervalMs = 1000;
// Scheduling noise allowance for every deadline the soak checks.
constexpr int kSlackMs = 1500;
// The guard feeds the watchdog every 250 ms; a longer gap than this is a stall.
constexpr int kWatchdogGapLimitMs = 1000;
// Memory the guard may gain over a stretch of cycles: allocator noise, not a leak.
constexpr qint64 kRssAllowanceKb = 2048;

// AddressSanitizer holds freed memory in quarantine, so resident memory grows
// by design in such a build; only file descriptors are watched there.
#if defined(__SANITIZE_ADDRESS__)
constexpr bool kWatchMemory = false;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
constexpr bool kWatchMemory = false;
#else
constexpr bool kWatchMemory = true;
#endif
#else
constexpr bool kWatchMemory = true;
#endif

struct Counts {
    int events = 0;
    int cycles = 0;
    int faults = 0;
    int violations = 0;
};

// One fault to inject: where it comes from and the reason the guard must latch.
struct FaultEvent {
    const char* name;
    QByteArray frame; // sent by the client, or empty
    QByteArray fanControl; // written to kevo-sim's control file, or empty
    bool stall = false; // the lease holder just stops sending
    QString reason;
};

const QList<FaultEvent>& faultEvents()
{
    static const QList<FaultEvent> events = {
        { "garbage frame", "garbage\n", {}, false, QStringLiteral("Malformed IPC frame") },
        { "oversize frame", QByteArray(8193, 'x'), {}, false, QStringLiteral("IPC frame too large") },
        { "wrong version",
            R"({"version":2,"type":"hello"})"
            "\n",
            {}, false, QStringLiteral("Unsupported protocol") },
        { "stalled lease holder", {}, {}, true, QStringLiteral("Control or telemetry deadline expired") },
        { "fan program fails", {}, "lag-ms=0\nfault=fail\n", false,
            QStringLiteral("Fan command exited unsuccessfully") },
        { "fan program hangs", {}, "lag-ms=0\nfault=hang\n", false,
            QStringLiteral("Fan command timed out; output unconfirmed") },
        { "fan reply garbage", {}, "lag-ms=0\nfault=garbage\n", false, QStringLiteral("Fan RPM response is invalid") },
        { "fan output oversize", {}, "lag-ms=0\nfault=oversize\n", false, QStringLiteral("Fan output exceeds limit") },
    };
    return events;
}

class Soak {
public:
    Soak(int seconds, quint32 seed)
        : seconds(seconds)
        , random(seed)
    {
    }

    int run()
    {
        QElapsedTimer clock;
        clock.start();
        while (clock.elapsed() < qint64(seconds) * 1000)
            runEpoch(qint64(seconds) * 1000 - clock.elapsed());
        std::printf("soak: %d s, %d epochs, events injected %d, client cycles %d, faults seen %d, "
                    "invariant violations %d\n",
            seconds, epochs, counts.events, counts.cycles, counts.faults, counts.violations);
        return counts.violations == 0 ? 0 : 1;
    }

private:
    void violation(const QString& what)
    {
        ++counts.violations;
        std::printf("VIOLATION (epoch %d): %s\n", epochs, qPrintable(what));
        std::fflush(stdout);
    }

    // One guard process: benign client cycles, then one fault that latches.
    void runEpoch(qint64 remainingMs)
    {
        ++epochs;
        QTemporaryDir dir;
        KevoSimFan fan;
        NotifyPeer peer(dir.filePath(QStringLiteral("notify")));
        const QString socket = dir.filePath(QStringLiteral("fan.sock"));
        auto environment = fan.environment();
        environment.insert(QStringLiteral("NOTIFY_SOCKET"), peer.path());
        environment.insert(QStringLiteral("WATCHDOG_USEC"), QStringLiteral("5000000"));
        const QString profile = ProfileIni().withKevoSimFan().writeTo(dir);
        BackgroundProcess guard(
            ostrelProgram(), { "--profile", profile, "--socket", socket }, testEnvironment(environment));
        if (!guard.waitForListening(socket)) {
            violation(QStringLiteral("the guard did not start: ") + QString::fromUtf8(guard.kill().standardError));
            return;
        }
        const qint64 pid = guard.processId();

        // Benign cycles for a random stretch (longer in a long soak, so that one
        // guard sees thousands of them), leaks measured across them.
        const qint64 stretchMs = qMax<qint64>(8000, qint64(seconds) * 1000 / 5);
        const qint64 benignMs = qMin<qint64>(remainingMs, stretchMs / 5 + random.bounded(quint32(stretchMs * 4 / 5)));
        QElapsedTimer epochClock;
        epochClock.start();
        int baselineFds = -1;
        qint64 baselineRssKb = -1;
        int cyclesThisEpoch = 0;
        while (epochClock.elapsed() < benignMs) {
            clientCycle(socket);
            watchWatchdog(peer);
            if (++cyclesThisEpoch == 10)
                settledUsage(pid, &baselineFds, &baselineRssKb);
        }
        if (baselineFds >= 0) {
            int fds = 0;
            qint64 rssKb = 0;
            settledUsage(pid, &fds, &rssKb);
            if (fds > baselineFds)
                violation(QStringLiteral("file descriptors grew from %1 to %2 over %3 cycles")
                              .arg(baselineFds)
                              .arg(fds)
                              .arg(cyclesThisEpoch));
            if (kWatchMemory && rssKb > baselineRssKb + kRssAllowanceKb)
                violation(QStringLiteral("resident memory grew from %1 kB to %2 kB over %3 cycles")
                              .arg(baselineRssKb)
                              .arg(rssKb)
                              .arg(cyclesThisEpoch));
        }

        injectFault(socket, fan, peer);
        watchWatchdog(peer);
        guard.kill();
    }

    // A client that connects, leases, steers, and then releases or vanishes.
    void clientCycle(const QString& socket)
    {
        ++counts.cycles;
        TestClient client;
        if (!client.join(socket) || !client.waitForReady(kSettlingMs + kSlackMs)) {
            violation(QStringLiteral("the guard was not ready for a new client"));
            return;
        }
        if (!client.hello()) {
            violation(QStringLiteral("a ready guard granted no lease"));
            return;
        }
        client.nextSampleSequence = ++sampleSequence;
        const int requests = 1 + int(random.bounded(5));
        for (int i = 0; i < requests; ++i) {
            const int rpm = 1200 + 100 * int(random.bounded(49));
            client.nextSampleSequence = ++sampleSequence;
            if (!client.controlAccepted({ { "rpm", rpm } }))
                violation(QStringLiteral("a valid control request to %1 rpm was refused: %2")
                              .arg(rpm)
                              .arg(client.lastStatus().value("reason").toString()));
        }
        if (random.bounded(2) == 0) {
            client.release();
            expectSafe(client, QString(), QStringLiteral("release"));
        } else {
            client.socket().abort(); // vanishes while holding the lease
        }
    }

    // After a safety request: the safe speed requested at once, confirmed by the
    // fan within the settling time, and the fault (if any) latched.
    void expectSafe(TestClient& client, const QString& reason, const QString& event)
    {
        QJsonObject status;
        const bool safe = client.waitForStatus(
            [&](const QJsonObject& s) {
                return s.value("requestedRpm").toInt() == kMaximumRpm && s.value("rpm").toInt() == kMaximumRpm
                    && s.value("rpmValid").toBool() && s.value("lease").toString().isEmpty();
            },
            kSettlingMs + kPollIntervalMs + kSlackMs, &status);
        if (!safe)
            violation(QStringLiteral("%1: the fan was not confirmed at the safe speed in time").arg(event));
        else if (status.value("reason").toString() != reason)
            violation(QStringLiteral("%1: reason \"%2\", expected \"%3\"")
                          .arg(event, status.value("reason").toString(), reason));
    }

    void injectFault(const QString& socket, KevoSimFan& fan, NotifyPeer& peer)
    {
        const FaultEvent& event = faultEvents().at(int(random.bounded(faultEvents().size())));
        ++counts.events;
        TestClient client;
        if (!client.join(socket) || !client.waitForReady(kSettlingMs + kSlackMs) || !client.hello()) {
            violation(QStringLiteral("%1: no lease to start from").arg(event.name));
            return;
        }
        client.nextSampleSequence = ++sampleSequence;
        if (!client.controlAccepted({ { "rpm", 3000 } }))
            violation(QStringLiteral("%1: the first request was refused").arg(event.name));

        int deadlineMs = kSlackMs;
        if (!event.frame.isEmpty()) {
            client.send(event.frame);
        } else if (!event.fanControl.isEmpty()) {
            fan.setControl(event.fanControl);
            deadlineMs += kPollIntervalMs + kCommandTimeoutMs;
        } else {
            deadlineMs += kLeaseMs + 250;
        }
        watchWatchdog(peer);

        QJsonObject status;
        if (!client.waitForStatus(
                [](const QJsonObject& s) { return s.value("fault").toBool(); }, deadlineMs, &status)) {
            violation(QStringLiteral("%1: no fault within %2 ms").arg(event.name).arg(deadlineMs));
            return;
        }
        ++counts.faults;
        if (status.value("reason").toString() != event.reason)
            violation(QStringLiteral("%1: reason \"%2\", expected \"%3\"")
                          .arg(event.name, status.value("reason").toString(), event.reason));
        if (status.value("requestedRpm").toInt() != kMaximumRpm || !status.value("lease").toString().isEmpty())
            violation(QStringLiteral("%1: the fault did not force the safe speed and end the lease").arg(event.name));
        if (!event.fanControl.isEmpty())
            return; // a failing fan cannot confirm anything
        if (!event.frame.isEmpty()) {
            // The refusal closes the connection; a new client sees the latched fault.
            TestClient observer;
            if (observer.join(socket))
                expectSafe(observer, event.reason, QString::fromLatin1(event.name));
            else
                violation(QStringLiteral("%1: the guard took no new client").arg(event.name));
        } else {
            expectSafe(client, event.reason, QString::fromLatin1(event.name));
        }
    }

    // The watchdog keeps coming: no fan command here is ever overdue, since the
    // guard kills each one at CommandTimeoutMs.
    void watchWatchdog(NotifyPeer& peer)
    {
        const qint64 gap = peer.longestGapMs(QStringLiteral("WATCHDOG=1"));
        if (gap > kWatchdogGapLimitMs)
            violation(QStringLiteral("the watchdog was not fed for %1 ms").arg(gap));
    }

    // The smallest counts over a short while: a fan command or a closing
    // client holds descriptors for a moment, a leak holds them for good.
    static void settledUsage(qint64 pid, int* fds, qint64* rssKb)
    {
        *fds = std::numeric_limits<int>::max();
        *rssKb = std::numeric_limits<qint64>::max();
        for (int i = 0; i < 8; ++i) {
            *fds = qMin(*fds, openFiles(pid));
            *rssKb = qMin(*rssKb, residentKb(pid));
            QTest::qWait(40);
        }
    }

    static int openFiles(qint64 pid)
    {
        return QDir(QStringLiteral("/proc/%1/fd").arg(pid)).entryList(QDir::NoDotAndDotDot | QDir::AllEntries).size();
    }

    static qint64 residentKb(qint64 pid)
    {
        QFile status(QStringLiteral("/proc/%1/status").arg(pid));
        if (!status.open(QIODevice::ReadOnly))
            return -1;
        for (const QByteArray& line : status.readAll().split('\n')) {
            if (line.startsWith("VmRSS:"))
                return line.mid(6).trimmed().split(' ').value(0).toLongLong();
        }
        return -1;
    }

    int seconds;
    QRandomGenerator random;
    Counts counts;
    int epochs = 0;
    quint64 sampleSequence = 0;
};

} // namespace

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    QCommandLineParser parser;
    parser.addHelpOption();
    parser.addOption(
        { QStringLiteral("seconds"), QStringLiteral("How long to run"), QStringLiteral("n"), QStringLiteral("60") });
    parser.addOption({ QStringLiteral("seed"), QStringLiteral("Random seed (default: time)"), QStringLiteral("s") });
    parser.process(app);
    const quint32 seed = parser.isSet(QStringLiteral("seed")) ? parser.value(QStringLiteral("seed")).toUInt()
                                                              : quint32(QDateTime::currentMSecsSinceEpoch());
    std::printf("soak: seed %u (rerun with --seed %u)\n", seed, seed);
    Soak soak(qMax(1, parser.value(QStringLiteral("seconds")).toInt()), seed);
    return soak.run();
}
