#pragma once
// The subcommands of kest721, one table: what --help says of each, and how
// it runs.
#include "host/common/StopSignals.h"
#include "host/common/Subcommands.h"
#include "host/kest721/Options.h"

#include <QStringList>
#include <span>

namespace norvale::host
{

struct Kest721Command : Subcommand {
    // Runs with the options parsed in full; returns the exit status.
    int (*run)(const Options &o, const StopSignals &stops);
    // Instead, for a subcommand with options of its own (publish, watch):
    // gets every argument after its name, and must then come first.
    int (*runWithArguments)(const QStringList &arguments) = nullptr;
};

std::span<const Kest721Command> kest721Commands();

// The subcommands, each in its file (publish and watch in PublishCommand.h).
int runLog(const Options &o, const StopSignals &stops);
int runDownload(const Options &o, const StopSignals &stops);
int runStatus(const Options &o, const StopSignals &stops);
int runJournal(const Options &o, const StopSignals &stops);
int runPorts(const Options &o, const StopSignals &stops);

} // namespace norvale::host
