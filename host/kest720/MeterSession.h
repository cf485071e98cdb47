#pragma once
// One run of kest720-cli against the server: create the object, open the
// port and start the meter up, run the subcommand, leave the meter measuring.
#include "host/kest720/Commands.h"

namespace norvale::host
{

// Returns the program's exit status; failures are thrown as
// AutomationError, or as MeterFailure when the port's own fault is known.
int runOnMeter(const Kest720Command &command, const Request &request);

struct MeterFailure {
    QString cause; // the first line, when more is known than the error says
    norvale::platform::AutomationError error;
};

} // namespace norvale::host
