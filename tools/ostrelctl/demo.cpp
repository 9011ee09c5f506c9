// The demo client: a thermal model of an RF unit, steered through the client library.
#include "demo.h"

#include "statusformat.h"
#include "thermalmodel.h"

#include <ostrel-client/guardclient.h>
#include <ostrel-client/referenceregulator.h>

#include <QElapsedTimer>
#include <QEventLoop>
#include <QFile>
#include <QTextStream>
#include <QTimer>
#include <cstdio>

namespace {

constexpr int kExitFailure = 2;
constexpr int kExitFault = 3;
constexpr int kLeaseWaitMs = 10000;
constexpr int kReleaseWaitMs = 2000;
// The model and the regulator step at this period; requests go out with every step.
constexpr int kStepMs = 500;

class DemoClient {
public:
    DemoClient(const ostrel::SafetyProfile& profile, const DemoOptions& options)
        : profile(profile)
        , options(options)
        , client(profile)
        , samples(profile.deviceSerial(), QStringLiteral("ostrelctl-demo"))
        , regulator(profile, (profile.minimumTargetC() + profile.maximumTargetC()) / 2)
    {
        // Cold enough for a warm-up stop, warming to the stop's margin in a fifth of the run;
        // the fan holds the target at half speed.
        const double target = regulator.targetC();
        model.ambientC = model.temperatureC = target - profile.leadC() - 6;
        model.heatingCPerSecond = 6 / (0.2 * options.seconds);
        model.coolingPerSecond = model.heatingCPerSecond / (0.5 * (target - model.ambientC));
        output.filteredC = model.temperatureC;
    }

    int run()
    {
        if (!options.csvPath.isEmpty() && !openCsv())
            return fail(QStringLiteral("cannot write %1").arg(options.csvPath));
        client.setWarmupStopExpected(options.warmupStop);
        client.setSimulationAccepted(true); // the demo is made for a simulated guard
        QObject::connect(&client, &ostrel::GuardClient::statusReceived, &loop,
            [this](const ostrel::GuardStatus& status) { show(status); });
        QObject::connect(&client, &ostrel::GuardClient::faultLatched, &loop, [this](const QString& reason) {
            loop.exit(fail(QStringLiteral("the guard latched a fault: %1").arg(reason), kExitFault));
        });
        QObject::connect(&client, &ostrel::GuardClient::leaseGranted, &loop, [this] {
            clock.start();
            stepTimer.start(kStepMs);
        });
        QObject::connect(&client, &ostrel::GuardClient::leaseEnded, &loop, [this] {
            if (releasing)
                loop.exit(0);
            else if (!client.status().fault) // a fault has been reported already
                loop.exit(fail(QStringLiteral("the guard ended the lease")));
        });
        QObject::connect(&stepTimer, &QTimer::timeout, &loop, [this] { step(); });
        QTimer::singleShot(kLeaseWaitMs, &loop, [this] {
            if (!clock.isValid())
                loop.exit(fail(client.isConnected()
                        ? QStringLiteral("the guard granted no lease")
                        : QStringLiteral("cannot reach the guard at %1").arg(options.socketPath)));
        });
        client.connectToGuard(options.socketPath);
        const int code = loop.exec();
        if (code != 0)
            return code;
        if (stableAtMs < 0)
            std::printf("demo finished: %d s, no fault; the unit did not become stable\n", options.seconds);
        else
            std::printf("demo finished: %d s, no fault; stable from %.1f s\n", options.seconds, stableAtMs / 1000.0);
        return 0;
    }

private:
    void step()
    {
        const qint64 now = clock.elapsed();
        if (now >= qint64(options.seconds) * 1000) {
            stepTimer.stop();
            releasing = true;
            client.release();
            QTimer::singleShot(kReleaseWaitMs, &loop, [this] { loop.exit(0); });
            return;
        }
        model.advance((now - modelMs) / 1000.0, client.status().rpm / double(profile.maximumRpm()));
        modelMs = now;
        samples.measured(model.temperatureC);
        output = regulator.step(
            model.temperatureC, kStepMs / 1000.0, client.warmupStopAvailable(), client.spinUpPending());
        if (output.stable && stableAtMs < 0)
            stableAtMs = now;
        QString refusal;
        if (!client.control(output.rpm, regulator.targetC(), samples.sample(), output.state, &refusal))
            loop.exit(fail(QStringLiteral("a request was refused before it was sent: %1").arg(refusal)));
    }

    void show(const ostrel::GuardStatus& status)
    {
        const double seconds = clock.isValid() ? clock.elapsed() / 1000.0 : 0;
        std::printf("%6.1f s  %5.2f °C  %-9s  %s\n", seconds, model.temperatureC,
            qPrintable(ostrel::requestStateName(output.state)), qPrintable(statusLine(status)));
        std::fflush(stdout);
        if (csv.device()) {
            csv << QString::number(seconds, 'f', 3) << ',' << QString::number(model.temperatureC, 'f', 3) << ','
                << QString::number(output.filteredC, 'f', 3) << ',' << regulator.targetC() << ','
                << regulator.stableBandC() << ',' << statusCsvColumns(status) << ','
                << ostrel::requestStateName(output.state) << ',' << int(output.stable) << '\n';
            csv.flush();
        }
    }

    bool openCsv()
    {
        csvFile.setFileName(options.csvPath);
        if (!csvFile.open(QIODevice::WriteOnly | QIODevice::Truncate | QIODevice::Text))
            return false;
        csv.setDevice(&csvFile);
        csv << "time_s,temperature_c,filtered_c,target_c,band_c,requested_rpm,rpm,rpm_valid,age_ms,ready,fault,reason,"
               "state,stable\n";
        return true;
    }

    int fail(const QString& reason, int code = kExitFailure)
    {
        std::fprintf(stderr, "ostrelctl demo: %s\n", qPrintable(reason));
        return code;
    }

    const ostrel::SafetyProfile& profile;
    const DemoOptions& options;
    ostrel::GuardClient client;
    ostrel::SampleTracker samples;
    ostrel::ReferenceRegulator regulator;
    ostrel::RegulatorOutput output;
    ThermalModel model;
    QEventLoop loop;
    QTimer stepTimer;
    QElapsedTimer clock;
    QFile csvFile;
    QTextStream csv;
    qint64 modelMs = 0;
    qint64 stableAtMs = -1;
    bool releasing = false;
};

} // namespace

int runDemo(const ostrel::SafetyProfile& profile, const DemoOptions& options)
{
    DemoClient client(profile, options);
    return client.run();
}
