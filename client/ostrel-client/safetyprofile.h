#pragma once

#include <ostrel-client/export.h>

#include <QString>
#include <memory>

struct DeviceProfile;

namespace ostrel {

// The device safety profile the guard runs on: an INI file with the group [RfuDeviceProfile].
// The client reads the same file as the guard, so that it can check every request by the
// guard's rules before sending it, and so that the regulator has its settings.
class OSTREL_CLIENT_EXPORT SafetyProfile {
public:
    SafetyProfile();
    ~SafetyProfile();
    SafetyProfile(const SafetyProfile& other);
    SafetyProfile& operator=(const SafetyProfile& other);

    // Reads and validates the file with the guard's own rules. On failure the profile stays
    // as it was and *error (if given) holds the guard's reason.
    bool load(const QString& path, QString* error = nullptr);
    bool isLoaded() const;

    // The serial that a hello and every sample must name.
    QString deviceSerial() const;
    // A running speed is a multiple of rpmStep() from minimumRpm() to maximumRpm(); a start
    // from standstill, and every request until the spin-up ends, is at least spinUpRpm().
    // maximumRpm() is also the safe speed the guard forces on every fault.
    int minimumRpm() const;
    int maximumRpm() const;
    int spinUpRpm() const;
    int rpmStep() const;
    // The running speed nearest to rpm that the guard accepts: a multiple of rpmStep() from
    // minimumRpm(), or atLeastRpm if that is higher, up to maximumRpm(). A client that steers by
    // a fraction of the full speed asks for runningRpm(fraction * maximumRpm()); see also
    // GuardClient::runningRpm, which knows when the spin-up speed is the least.
    int runningRpm(double rpm, int atLeastRpm = 0) const;
    // The range of targets ("targetC") a request may name, and the margin below the target
    // under which a warm-up stop is allowed.
    double minimumTargetC() const;
    double maximumTargetC() const;
    double leadC() const;
    // An accepted request must follow within leaseMs() of the last one, and rest on a sample
    // younger than maximumSampleAgeMs().
    int leaseMs() const;
    int maximumSampleAgeMs() const;

private:
    friend const DeviceProfile& fieldsOf(const SafetyProfile& profile);
    std::shared_ptr<const DeviceProfile> fields;
};

} // namespace ostrel
