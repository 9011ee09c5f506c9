// The profile, read and validated by the guard's own code.
#include "profilefields.h"

namespace ostrel {

SafetyProfile::SafetyProfile()
    : fields(std::make_shared<const DeviceProfile>())
{
}

SafetyProfile::~SafetyProfile() = default;
SafetyProfile::SafetyProfile(const SafetyProfile& other) = default;
SafetyProfile& SafetyProfile::operator=(const SafetyProfile& other) = default;

bool SafetyProfile::load(const QString& path, QString* error)
{
    DeviceProfile loaded;
    if (!loadDeviceProfile(path, &loaded, error))
        return false;
    fields = std::make_shared<const DeviceProfile>(loaded);
    return true;
}

bool SafetyProfile::isLoaded() const { return fields->Validated; }
QString SafetyProfile::deviceSerial() const { return fields->DeviceSerial; }
int SafetyProfile::minimumRpm() const { return fields->MinimumRpm; }
int SafetyProfile::maximumRpm() const { return fields->MaximumRpm; }
int SafetyProfile::spinUpRpm() const { return fields->SpinUpRpm; }
int SafetyProfile::rpmStep() const { return fields->RpmStep; }
double SafetyProfile::minimumTargetC() const { return fields->MinimumTargetC; }
double SafetyProfile::maximumTargetC() const { return fields->MaximumTargetC; }
double SafetyProfile::leadC() const { return fields->LeadC; }
int SafetyProfile::leaseMs() const { return fields->LeaseMs; }
int SafetyProfile::maximumSampleAgeMs() const { return fields->MaximumSampleAgeMs; }

const DeviceProfile& fieldsOf(const SafetyProfile& profile) { return *profile.fields; }

} // namespace ostrel
