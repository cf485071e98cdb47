#pragma once
// The exit statuses both command-line hosts give, as their --help states them.
#include <csignal>

namespace norvale::host::exitstatus
{

constexpr int done = 0;
// The meter, the port, a server or a file failed; the reason is on standard error.
constexpr int failed = 1;
constexpr int usage = 2;

// As a shell reports a program that a signal ended: 130 for Ctrl-C.
constexpr int stoppedBy(int signalNumber)
{
    return 128 + signalNumber;
}
constexpr int interrupted = stoppedBy(SIGINT);

} // namespace norvale::host::exitstatus
