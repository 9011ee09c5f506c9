// The three libFuzzer targets, one per build of this file. fuzz_frames: a header byte and
// client bytes, written to a guard in simulation in 1 + (header & 7) pieces cut at points
// drawn from the header ("<lease>" and "<session>" become the guard's, as a client copies
// them); every status must keep the contract. fuzz_profile: the bytes as a profile file; an
// accepted profile passes every rule, a refused one has one reason and leaves the defaults.
// fuzz_status: the bytes as a guard's side of the client library's connection (a simulation
// accepted when the first byte is odd); the client asks for a speed whenever a request is due,
// and must hold a lease only while it is served.
#include "harness.h"
#include "profile/profilevalidation.h"

#include <ostrel-client/guardclient.h>

#include <QCoreApplication>
#include <QRandomGenerator>

extern "C" int LLVMFuzzerInitialize(int* argc, char*** argv)
{
    qputenv("QT_NO_GLIB", "1"); // the plain event loop costs the least per pass
    static QCoreApplication app(*argc, *argv);
    if (!qEnvironmentVariableIsSet("OSTREL_FUZZ_LOG"))
        qInstallMessageHandler([](QtMsgType, const QMessageLogContext&, const QString&) {});
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    QByteArray bytes(reinterpret_cast<const char*>(data), int(size));
    static QTemporaryDir dir;
#ifdef OSTREL_FUZZ_FRAMES
    RfuFanGuardServiceProbe probe(""); // a fresh guard for every input: nearly all end the connection
    if (size == 0 || !probe.attach())
        return 0;
    QRandomGenerator cuts(data[0]);
    bytes.remove(0, 1);
    for (int pieces = (data[0] & 7) + 1; pieces > 0; --pieces) {
        const int cut = pieces == 1 ? bytes.size() : int(cuts.bounded(bytes.size() + 1));
        probe.send(bytes.left(cut));
        bytes.remove(0, cut);
    }
    const QString problems = probe.snapshot().value("problems").toString();
    if (!problems.isEmpty()) {
        fprintf(stderr, "fuzz_frames: %s\n", qPrintable(problems));
        abort();
    }
#elif defined(OSTREL_FUZZ_STATUS)
    static QLocalServer server;
    static ostrel::SafetyProfile profile;
    if (!server.isListening()
        && !(profile.load(writeFile(dir, "p.ini", profileText(kShortTimings))) && server.listen(dir.filePath("s"))))
        abort();
    using Client = ostrel::GuardClient;
    Client client(profile);
    client.setSimulationAccepted(size > 0 && (data[0] & 1));
    ostrel::SampleTracker samples(profile.deviceSerial(), "fuzz");
    QObject::connect(&client, &Client::requestDue, [&] {
        samples.measured(30);
        client.control(client.runningRpm(client.status().rpm), 30, samples.sample());
    });
    client.connectToGuard(dir.filePath("s"));
    if (!server.waitForNewConnection(1000))
        abort();
    std::unique_ptr<QLocalSocket> guard(server.nextPendingConnection());
    guard->write(bytes);
    guard->flush();
    RfuFanGuardServiceProbe::settle();
    if (client.status().stale != (client.connectionState() != Client::ConnectionState::Connected)
        || (client.hasLease() && client.status().stale))
        abort();
#else
    DeviceProfile profile;
    QString error = "not cleared";
    if (loadDeviceProfile(writeFile(dir, "p.ini", bytes), &profile, &error)
            ? !error.isEmpty() || !validateDeviceProfile(profile, nullptr)
            : error.isEmpty() || error.contains('\n') || profile.Validated)
        abort();
#endif
    return 0;
}
