#pragma once
// What the tests against the simulated meter share: the meter at its fast
// rate, and a wait that runs the event loop meanwhile.
#include "simulator/Meter.h"
#include "cmake/TestWait.h"

namespace norvale::simulator::testing
{

// A meter of `model` in `units` that characters cross at once and that reads
// every `readingIntervalMs`, reached as port `port` through `portsFolder`.
inline Options fast(const QString &portsFolder, int port = 1, Model model = Model::K720,
                    Units units = Units::R, int readingIntervalMs = 400)
{
    Options o;
    o.model = model;
    o.units = units;
    o.portNumber = port;
    o.portsFolder = portsFolder;
    o.charMicros = 50;
    o.readingIntervalMs = readingIntervalMs;
    return o;
}

using testsupport::runFor;
using testsupport::waitFor;

} // namespace norvale::simulator::testing
