#pragma once
// The subcommands of kest720-cli, one table: each entry's arguments, how
// they are checked and how the job runs once the meter is at its prompt.
#include "host/common/Subcommands.h"
#include "host/kest720/Job.h"

#include <QStringList>
#include <optional>
#include <span>

namespace norvale::host
{

struct Kest720Command : Subcommand {
    int arguments;             // how many words follow the name
    const char *argumentNames; // as a usage error names them: "NAME and VALUE"
    // Checks the arguments into the request; returns the problem when they are refused.
    std::optional<QString> (*parse)(const QStringList &arguments, Request &request);
    Ending (*run)(const Job &job);
    // Whether the meter keeps the job's changes when it is left.
    bool saves;
};

std::span<const Kest720Command> kest720Commands();

// The subcommands, each in its file.
Ending runInfo(const Job &job);
Ending runStream(const Job &job);
Ending runDownload(const Job &job);
Ending runDose(const Job &job);
Ending runSet(const Job &job);
// SECONDS of stream and dose.
std::optional<QString> parseSeconds(const QStringList &arguments, Request &request);
// NAME VALUE of set.
std::optional<QString> parseSetting(const QStringList &arguments, Request &request);

} // namespace norvale::host
