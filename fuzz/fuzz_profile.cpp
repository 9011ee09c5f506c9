// Arbitrary bytes as a profile: an accepted profile passes every rule, a refused one
// has one reason and leaves the defaults.
#include "harness.h"
#include "profile/profilevalidation.h"

#include <QCoreApplication>

extern "C" int LLVMFuzzerInitialize(int* argc, char*** argv)
{
    static QCoreApplication app(*argc, *argv);
    qInstallMessageHandler([](QtMsgType, const QMessageLogContext&, const QString&) {});
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    static QTemporaryDir dir;
    const QString path = writeFile(dir, "p.ini", QByteArray(reinterpret_cast<const char*>(data), int(size)));
    DeviceProfile profile;
    QString error = "not cleared";
    if (loadDeviceProfile(path, &profile, &error) ? !error.isEmpty() || !validateDeviceProfile(profile, nullptr)
                                                  : error.isEmpty() || error.contains('\n') || profile.Validated)
        abort();
    return 0;
}
