// hold-speed: the smallest complete client of the ostrel fan guard. It takes the control lease, holds
// one speed for a while and gives the lease back; on a fault or a refused request it exits 1.
#include <ostrel-client/guardclient.h>

#include <QCoreApplication>
#include <QTimer>
#include <cstdio>

int main(int argc, char* argv[])
{
    QCoreApplication app(argc, argv);
    const QStringList args = app.arguments();
    auto fail = [&](const QString& why) {
        std::fprintf(stderr, "hold-speed: %s\n", qPrintable(why));
        app.exit(1);
        return 1;
    };
    // The guard's own profile: the serial, the lease time and the limits. Every request is checked by
    // it before it is sent, so a mistake is refused here and latches no fault in the guard.
    ostrel::SafetyProfile profile;
    QString error;
    if (args.size() != 5 && (args.size() != 6 || args.at(5) != "--simulation"))
        return fail("usage: hold-speed <socket> <profile> <rpm> <seconds> [--simulation]");
    if (!profile.load(args.at(2), &error))
        return fail(error);
    const int rpm = args.at(3).toInt();
    const int holdMs = args.at(4).toInt() * 1000;
    // Every request names a target in the profile's range (even without a regulator) and rests on a
    // sample of one stream for the guard's life, each new one numbered higher, as the tracker does.
    const double targetC = (profile.minimumTargetC() + profile.maximumTargetC()) / 2;
    ostrel::SampleTracker sensor(profile.deviceSerial(), QStringLiteral("hold-speed"));
    ostrel::GuardClient guard(profile); // asks for the lease as soon as the guard is ready
    guard.setSimulationAccepted(args.size() == 6); // a simulated guard is refused unless asked for
    bool released = false;
    // Each request renews the lease on a new sample; the library says when the next is due. After
    // a start from standstill, nothing below the spin-up speed is allowed for a while.
    QObject::connect(&guard, &ostrel::GuardClient::requestDue, &app, [&] {
        sensor.measured(targetC);
        const int ask = guard.fanStopped() || guard.spinUpPending() ? qMax(rpm, profile.spinUpRpm()) : rpm;
        if (!guard.control(ask, targetC, sensor.sample(), ostrel::RequestState::Regulate, &error))
            fail("request refused: " + error);
    });
    QObject::connect(&guard, &ostrel::GuardClient::leaseGranted, &app, [&] {
        QTimer::singleShot(holdMs, Qt::PreciseTimer, &app, [&] {
            released = guard.release(); // the fan goes back to the safe speed, no fault
        });
    });
    QObject::connect(&guard, &ostrel::GuardClient::faultLatched, &app,
        [&](const QString& reason) { fail("the guard latched a fault: " + reason); });
    QObject::connect(&guard, &ostrel::GuardClient::leaseEnded, &app, [&](ostrel::GuardClient::LeaseEnd why) {
        using End = ostrel::GuardClient::LeaseEnd;
        if (why == End::Released && released)
            app.quit();
        else if (why != End::Fault && why != End::Lapsed) // a fault has been reported already
            fail("the lease ended early");
    });
    // Bounded: the guard may be serving another client, or never become ready.
    QTimer::singleShot(holdMs + 10000, &app, [&] { fail("no lease, or no end to it, in time"); });
    guard.connectToGuard(args.at(1));
    return app.exec();
}
