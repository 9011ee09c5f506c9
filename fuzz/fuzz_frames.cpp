// Arbitrary client bytes through a real socket to a guard in simulation: every status
// must keep the contract and the safety invariants. An input is a header byte and the
// bytes to send, written in 1 + (header & 7) pieces at points drawn from the header;
// "<lease>" and "<session>" become the guard's, as a client copies them from a status.
#include "harness.h"

#include <QCoreApplication>
#include <QRandomGenerator>

extern "C" int LLVMFuzzerInitialize(int* argc, char*** argv)
{
    static QCoreApplication app(*argc, *argv);
    if (!qEnvironmentVariableIsSet("OSTREL_FUZZ_LOG"))
        qInstallMessageHandler([](QtMsgType, const QMessageLogContext&, const QString&) {});
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size == 0)
        return 0;
    // A fresh guard for every input, nearly all of which latch a fault.
    RfuFanGuardServiceProbe probe("");
    if (!probe.start())
        abort();
    probe.quick = true;
    QRandomGenerator cuts(data[0]);
    QByteArray bytes(reinterpret_cast<const char*>(data) + 1, int(size) - 1);
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
    return 0;
}
