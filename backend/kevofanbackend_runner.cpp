// Running the fan program for real commands.
#include "backend/kevofanbackend.h"

void KevoFanBackend::startRealCommand()
{
    // The fan program runner is not part of this build yet: no real command
    // starts, so real mode never confirms a speed and the guard's deadlines
    // take it to the safe state.
}
