// The two libFuzzer targets, one per build of this file. fuzz_frames: a header byte and
// client bytes, written to a guard in simulation in 1 + (header & 7) pieces cut at points
// drawn from the header ("<lease>" and "<session>" become the guard's, as a client copies
// them); every status must keep the contract. fuzz_profile: the bytes as a profile file; an
// accepted profile passes every rule, a refused one has one reason and leaves the defaults.
#include "harness.h"
#include "profile/profilevalidation.h"

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
#else
    static QTemporaryDir dir;
    DeviceProfile profile;
    QString error = "not cleared";
    if (loadDeviceProfile(writeFile(dir, "p.ini", bytes), &profile, &error)
            ? !error.isEmpty() || !validateDeviceProfile(profile, nullptr)
            : error.isEmpty() || error.contains('\n') || profile.Validated)
        abort();
#endif
    return 0;
}
