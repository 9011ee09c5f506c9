// The reference regulator: filter, look-ahead, PI with anti-windup, slew limit, stability.
#include <ostrel-client/referenceregulator.h>

#include "profilefields.h"

#include <cmath>

namespace ostrel {

ReferenceRegulator::ReferenceRegulator(const SafetyProfile& profile, double targetC)
    : profile(profile)
    , target(targetC)
{
}

RegulatorOutput ReferenceRegulator::step(double temperatureC, double seconds, bool stopAvailable, bool spinUpPending)
{
    const DeviceProfile& p = fieldsOf(profile);
    RegulatorOutput out;
    const double previous = filtered;
    if (!started || seconds <= 0) {
        filtered = temperatureC;
    } else {
        filtered += (temperatureC - filtered) * seconds / (p.FilterSeconds + seconds);
        out.slopeCPerSecond = (filtered - previous) / seconds;
    }
    started = true;
    out.filteredC = filtered;
    const double aheadC = filtered + out.slopeCPerSecond * p.LeadSeconds;

    // The stop, while the unit is cold now and will still be LeadSeconds ahead, which covers
    // the spin-up. The guard needs the sample itself below the margin.
    const double coldC = target - p.LeadC;
    if (stopAvailable && temperatureC < coldC && aheadC < coldC) {
        stopped = true;
        output = 0;
        stableSeconds = 0;
        out.state = RequestState::WarmupOff;
        return out;
    }
    const bool spinningUp = spinUpPending || stopped;
    stopped = false;

    const double error = aheadC - target;
    const double slew = p.SlewPerSecond * seconds;
    const double lowest = p.MinimumRpm / double(p.MaximumRpm);
    const double floor = (spinningUp ? p.SpinUpRpm : p.MinimumRpm) / double(p.MaximumRpm);
    // Anti-windup: the integral stands for the speed that holds the target, so it stays within
    // what the fan can give.
    integral = qBound(lowest, integral + p.Ki * error * seconds, 1.0);
    const double wanted = p.Kp * error + integral;
    const double fraction = spinningUp && output == 0 ? floor : qBound(output - slew, wanted, output + slew);
    output = qBound(floor, fraction, 1.0);
    out.rpm = profile.runningRpm(output * p.MaximumRpm, spinningUp ? p.SpinUpRpm : 0);

    const bool inBand
        = std::abs(filtered - target) <= p.StableBandC && std::abs(out.slopeCPerSecond) <= p.StableSlopeCPerSecond;
    stableSeconds = inBand ? stableSeconds + seconds : 0;
    out.stable = stableSeconds * 1000 >= p.StableHoldMs;
    out.state = spinningUp ? RequestState::SpinUp : out.stable ? RequestState::Stable : RequestState::Regulate;
    return out;
}

double ReferenceRegulator::stableBandC() const { return fieldsOf(profile).StableBandC; }

} // namespace ostrel
