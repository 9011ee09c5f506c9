// The demo client: a thermal model of an RF unit and a regulator that steers the guard.
#include "demo.h"

#include "guardconnection.h"
#include "statusformat.h"

#include <QDateTime>
#include <QDeadlineTimer>
#include <QElapsedTimer>
#include <QFile>
#include <QJsonObject>
#include <QTextStream>
#include <cmath>
#include <cstdio>

namespace {

constexpr int kExitFailure = 2;
constexpr int kExitFault = 3;
// Requests are sent far more often than the lease and sample deadlines require.
constexpr int kStepMs = 500;
// Past the spin-up time, the guard needs a fresh reading of the fan at speed
// and one more request to end the spin-up; readings come once a second.
constexpr int kSpinUpMarginMs = 2500;

// The unit heats at a constant rate and the fan cools it in proportion to its
// speed and to the unit's excess over the ambient temperature. The rates scale
// with the run time so that warm-up, spin-up and regulation all fit in it.
struct ThermalModel {
    double ambientC = 0;
    double temperatureC = 0;
    double heatingCPerSecond = 0;
    double coolingPerSecond = 0; // at full speed, per °C above ambient

    void advance(double seconds, double speedFraction)
    {
        const double change = heatingCPerSecond - coolingPerSecond * speedFraction * (temperatureC - ambientC);
        temperatureC += change * seconds;
    }
};

enum class Phase { Hello, WarmUp, SpinUp, Regulate };

const char* phaseName(Phase phase)
{
    switch (phase) {
    case Phase::Hello:
        return "hello";
    case Phase::WarmUp:
        return "warm-up";
    case Phase::SpinUp:
        return "spin-up";
    case Phase::Regulate:
        return "regulate";
    }
    return "";
}

class DemoClient {
public:
    DemoClient(const DeviceProfile& profile, const DemoOptions& options)
        : profile(profile)
        , options(options)
    {
        targetC = (profile.MinimumTargetC + profile.MaximumTargetC) / 2;
        // Cold enough for a warm-up stop, with room to warm up in about a third of the run.
        model.ambientC = qMax(targetC - profile.LeadC - 6, profile.SensorMinimumC + 1);
        model.temperatureC = model.ambientC;
        model.heatingCPerSecond = (targetC - profile.LeadC - model.ambientC) / (0.3 * options.seconds);
        // Half speed holds the target; full speed can pull the unit below it.
        model.coolingPerSecond = model.heatingCPerSecond / (0.5 * (targetC - model.ambientC));
        // Continues any earlier run's sample stream: the guard never lets it go back.
        sampleSequence = quint64(QDateTime::currentMSecsSinceEpoch());
    }

    int run()
    {
        QString error;
        if (!connection.open(options.socketPath, 5000, &error))
            return fail(error);
        if (!options.csvPath.isEmpty() && !openCsv())
            return fail(QStringLiteral("cannot write %1").arg(options.csvPath));
        clock.start();

        if (!waitFor([](const QJsonObject& s) { return s.value(QLatin1String("ready")).toBool(); }, 10000))
            return fail(QStringLiteral("the guard did not become ready"));
        connection.send({ { "version", 1 }, { "type", "hello" }, { "serial", profile.DeviceSerial } });
        if (!waitFor([](const QJsonObject& s) { return !s.value(QLatin1String("lease")).toString().isEmpty(); }, 3000))
            return fail(QStringLiteral("the guard granted no lease"));
        lease = last.value(QLatin1String("lease")).toString();
        session = last.value(QLatin1String("session")).toString();
        phase = Phase::WarmUp;

        qint64 modelMs = clock.elapsed();
        while (clock.elapsed() < qint64(options.seconds) * 1000) {
            const qint64 now = clock.elapsed();
            model.advance((now - modelMs) / 1000.0, measuredRpm / double(profile.MaximumRpm));
            modelMs = now;
            sendControl(now);
            const QDeadlineTimer step(kStepMs);
            while (!step.hasExpired()) {
                if (!readStatus(int(step.remainingTime())))
                    return exitCode;
            }
        }

        connection.send({ { "version", 1 }, { "type", "release" }, { "lease", lease }, { "session", session } });
        waitFor([](const QJsonObject& s) { return s.value(QLatin1String("lease")).toString().isEmpty(); }, 2000);
        connection.close();
        if (last.value(QLatin1String("fault")).toBool())
            return failWithFault();
        std::printf("demo finished: %d s, no fault\n", options.seconds);
        return 0;
    }

private:
    // Reads statuses until check passes or timeoutMs ends; false on a timeout or a lost connection.
    template <typename Check> bool waitFor(Check check, int timeoutMs)
    {
        const QDeadlineTimer deadline(timeoutMs);
        while (!deadline.hasExpired()) {
            if (!readStatus(int(deadline.remainingTime())))
                return false;
            if (check(last))
                return true;
        }
        return false;
    }

    // One status (or none within timeoutMs); false when the demo must end.
    bool readStatus(int timeoutMs)
    {
        QJsonObject status;
        switch (connection.nextStatus(timeoutMs, &status)) {
        case GuardConnection::Read::Timeout:
            return true;
        case GuardConnection::Read::Closed:
            exitCode = fail(QStringLiteral("the guard closed the connection"));
            return false;
        case GuardConnection::Read::Status:
            break;
        }
        last = status;
        measuredRpm = status.value(QLatin1String("rpm")).toInt();
        show(status);
        if (status.value(QLatin1String("fault")).toBool()) {
            exitCode = failWithFault();
            return false;
        }
        if (phase == Phase::SpinUp && status.value(QLatin1String("rpmValid")).toBool()
            && measuredRpm >= profile.SpinUpRpm - profile.RpmTolerance && spinUpHeldSinceMs < 0)
            spinUpHeldSinceMs = clock.elapsed();
        return true;
    }

    void sendControl(qint64 nowMs)
    {
        const double t = model.temperatureC;
        const double warmEnough = targetC - profile.LeadC - 0.5;
        QString state;
        int rpm = profile.MaximumRpm;

        if (phase == Phase::WarmUp) {
            if (t >= warmEnough || !options.warmupStop) {
                phase = Phase::SpinUp;
            } else if (requestsInLease >= 1) {
                // The stop needs a second fresh sample in this lease; the first request provides one.
                state = QStringLiteral("WarmupOff");
                rpm = 0;
            }
        }
        if (phase == Phase::SpinUp) {
            rpm = profile.SpinUpRpm;
            if (spinUpHeldSinceMs >= 0 && nowMs - spinUpHeldSinceMs >= profile.SpinUpMs + kSpinUpMarginMs) {
                phase = Phase::Regulate;
                fraction = profile.SpinUpRpm / double(profile.MaximumRpm);
            }
        }
        if (phase == Phase::Regulate)
            rpm = regulate(t, kStepMs / 1000.0);

        const QString sequence = QString::number(++requestsInLease);
        connection.send({ { "version", 1 }, { "type", "control" }, { "lease", lease }, { "session", session },
            { "sequence", sequence }, { "progress", sequence }, { "rpm", rpm }, { "targetC", targetC },
            { "state", state },
            { "sample",
                QJsonObject { { "valid", true }, { "serial", profile.DeviceSerial },
                    { "session", QStringLiteral("ostrelctl-demo") }, { "sequence", QString::number(++sampleSequence) },
                    { "temperatureC", std::round(t * 100) / 100 }, { "ageMs", 0 } } } });
    }

    // A PI regulator on the fan-speed fraction with a slew limit, put on the speed grid.
    int regulate(double temperatureC, double seconds)
    {
        const double error = temperatureC - targetC;
        integral = qBound(-50.0, integral + error * seconds, 50.0);
        const double wanted = 0.5 + 0.1 * profile.Kp * error + 0.1 * profile.Ki * integral;
        const double maxChange = profile.SlewPerSecond * seconds;
        fraction = qBound(fraction - maxChange, wanted, fraction + maxChange);
        const double minimum = profile.MinimumRpm / double(profile.MaximumRpm);
        fraction = qBound(minimum, fraction, 1.0);
        const int onGrid = int(std::lround(fraction * profile.MaximumRpm / profile.RpmStep)) * profile.RpmStep;
        return qBound(profile.MinimumRpm, onGrid, profile.MaximumRpm);
    }

    void show(const QJsonObject& status)
    {
        const double seconds = clock.isValid() ? clock.elapsed() / 1000.0 : 0;
        std::printf("%6.1f s  %5.2f °C  %-8s  %s\n", seconds, model.temperatureC, phaseName(phase),
            qPrintable(statusLine(status)));
        std::fflush(stdout);
        if (csv.device()) {
            csv << QString::number(seconds, 'f', 3) << ',' << QString::number(model.temperatureC, 'f', 3) << ','
                << statusCsvColumns(status) << ',' << phaseName(phase) << '\n';
            csv.flush();
        }
    }

    bool openCsv()
    {
        csvFile.setFileName(options.csvPath);
        if (!csvFile.open(QIODevice::WriteOnly | QIODevice::Truncate | QIODevice::Text))
            return false;
        csv.setDevice(&csvFile);
        csv << "time_s,temperature_c,requested_rpm,rpm,rpm_valid,age_ms,ready,fault,reason,phase\n";
        return true;
    }

    int fail(const QString& reason)
    {
        std::fprintf(stderr, "ostrelctl demo: %s\n", qPrintable(reason));
        return kExitFailure;
    }

    int failWithFault()
    {
        std::fprintf(stderr, "ostrelctl demo: the guard latched a fault: %s\n",
            qPrintable(last.value(QLatin1String("reason")).toString()));
        return kExitFault;
    }

    const DeviceProfile& profile;
    const DemoOptions& options;
    GuardConnection connection;
    ThermalModel model;
    QElapsedTimer clock;
    QFile csvFile;
    QTextStream csv;
    QJsonObject last;
    QString lease;
    QString session;
    Phase phase = Phase::Hello;
    double targetC = 0;
    double integral = 0;
    double fraction = 1.0;
    quint64 sampleSequence = 0;
    quint64 requestsInLease = 0;
    qint64 spinUpHeldSinceMs = -1;
    int measuredRpm = 0;
    int exitCode = 0;
};

} // namespace

int runDemo(const DeviceProfile& profile, const DemoOptions& options)
{
    DemoClient client(profile, options);
    return client.run();
}
