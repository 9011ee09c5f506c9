#pragma once

#include <ostrel-client/export.h>
#include <ostrel-client/requeststate.h>
#include <ostrel-client/safetyprofile.h>

#include <QString>

namespace ostrel {

// What the regulator asks for after a step.
struct RegulatorOutput {
    int rpm = 0; // on the profile's speed grid
    RequestState state = RequestState::Regulate;
    double filteredC = 0; // the filtered temperature
    double slopeCPerSecond = 0; // its slope
    bool stable = false;
};

// A reference regulator that uses the profile's regulator settings as their names say:
// FilterSeconds is the time constant of a first-order filter of the temperature; Kp (fan
// speed as a fraction of MaximumRpm, per °C) and Ki (per °C and second) make a PI regulator
// on the error of the temperature LeadSeconds ahead, whose integral never winds up beyond
// what the fan can give; SlewPerSecond limits how fast the speed changes (as a fraction of
// MaximumRpm per second); the unit counts as stable once it has stayed within StableBandC of
// the target, changing by at most StableSlopeCPerSecond, for StableHoldMs. While the unit is
// more than LeadC below the target, even LeadSeconds ahead, and the warm-up stop is available,
// it stops the fan.
class OSTREL_CLIENT_EXPORT ReferenceRegulator {
public:
    ReferenceRegulator(const SafetyProfile& profile, double targetC);

    // One step, seconds after the last, on a new temperature. stopAvailable and spinUpPending
    // are the client's (GuardClient::warmupStopAvailable and spinUpPending).
    RegulatorOutput step(double temperatureC, double seconds, bool stopAvailable, bool spinUpPending);
    double targetC() const { return target; }
    // How far from the target the unit may be and still count as stable.
    double stableBandC() const;

private:
    SafetyProfile profile;
    double target;
    bool started = false;
    double filtered = 0;
    double integral = 0; // a fraction of the maximum speed, like the output
    double output = 1.0; // the guard holds the safe speed when a lease begins
    bool stopped = false;
    double stableSeconds = 0;
};

} // namespace ostrel
