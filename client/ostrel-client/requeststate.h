#pragma once

#include <ostrel-client/export.h>

#include <QString>

namespace ostrel {

// What a control request says the regulator is doing. The guard reads only WarmupOff: a stop
// (rpm 0) is allowed only with it. The others are sent for the guard's log and for whoever
// reads the client's traffic.
enum class RequestState { Regulate, WarmupOff, SpinUp, Stable };

// The text a request carries: "Regulate", "WarmupOff", "SpinUp" or "Stable".
OSTREL_CLIENT_EXPORT QString requestStateName(RequestState state);

} // namespace ostrel
