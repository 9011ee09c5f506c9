// The profile, read and validated by the guard's own code.
#include "profilefields.h"

#include <cmath>

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

int SafetyProfile::runningRpm(double rpm, int atLeastRpm) const
{
    const int step = fields->RpmStep;
    const int lowest = (qMax(fields->MinimumRpm, atLeastRpm) + step - 1) / step * step;
    const int highest = fields->MaximumRpm / step * step;
    // Bounded before the conversion: a wild regulator's output must not be an undefined cast.
    const double steps = std::round(qBound(0.0, rpm, double(fields->MaximumRpm)) / step);
    return qBound(qMin(lowest, highest), int(steps) * step, highest);
}
double SafetyProfile::minimumTargetC() const { return fields->MinimumTargetC; }
double SafetyProfile::maximumTargetC() const { return fields->MaximumTargetC; }
double SafetyProfile::leadC() const { return fields->LeadC; }
int SafetyProfile::leaseMs() const { return fields->LeaseMs; }
int SafetyProfile::maximumSampleAgeMs() const { return fields->MaximumSampleAgeMs; }

const DeviceProfile& fieldsOf(const SafetyProfile& profile) { return *profile.fields; }

} // namespace ostrel
