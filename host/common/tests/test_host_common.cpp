// What both command-line hosts share: the numbers and durations they accept,
// the lookup and listing of a subcommand table, the progress line, the model
// names and the stop signals.
#include "host/common/MeterNames.h"
#include "host/common/Numbers.h"
#include "host/common/ProgressLine.h"
#include "host/common/StopSignals.h"
#include "host/common/Subcommands.h"

#include <QCoreApplication>
#include <gtest/gtest.h>

#include <csignal>
#include <cstdio>
#include <cstdlib>

using namespace norvale::host;

TEST(HostNumbers, WholeNumbersAreDigitsWithAnOptionalSignAndNothingElse)
{
    const struct {
        const char *text;
        std::optional<int64_t> expected;
    } cases[] = {
        {"5", 5},
        {"+5", 5},
        {"-5", -5},
        {"007", 7},
        {"999999999999999999", 999999999999999999},
        {"1000000000000000000", std::nullopt}, // 19 digits
        {"", std::nullopt},
        {" 5", std::nullopt},
        {"5 ", std::nullopt},
        {"1e3", std::nullopt},
        {"0x10", std::nullopt},
        {"5s", std::nullopt},
        {"--5", std::nullopt},
        {"\xd9\xa5", std::nullopt}, // an Arabic-Indic five
    };
    for (const auto &c : cases)
        EXPECT_EQ(wholeNumber(QString::fromUtf8(c.text)), c.expected) << c.text;
}

TEST(HostNumbers, DurationsAreANumberWithAnOptionalUnit)
{
    constexpr int64_t huge = INT64_MAX / 1000;
    const struct {
        const char *text;
        bool read;
        int64_t count, unitSeconds;
        bool unitGiven;
    } cases[] = {
        {"90", true, 90, 1, false},
        {"90s", true, 90, 1, true},
        {"10 m", true, 10, 60, true},
        {" 2H ", true, 2, 3600, true},
        {"1d", true, 1, 86400, true},
        {"0s", true, 0, 1, true},
        {"12345678901234567890d", true, huge, 86400, true},
        {"", false, 0, 0, false},
        {"s", false, 0, 0, false},
        {"-5s", false, 0, 0, false},
        {"1.5h", false, 0, 0, false},
        {"5w", false, 0, 0, false},
        {"5 s s", false, 0, 0, false},
        {"until-stopped", false, 0, 0, false},
        {"\xd9\xa5s", false, 0, 0, false},
    };
    for (const auto &c : cases) {
        const std::optional<Duration> d = readDuration(QString::fromUtf8(c.text));
        ASSERT_EQ(d.has_value(), c.read) << c.text;
        if (!d)
            continue;
        EXPECT_EQ(d->count, c.count) << c.text;
        EXPECT_EQ(d->unitSeconds, c.unitSeconds) << c.text;
        EXPECT_EQ(d->unitGiven, c.unitGiven) << c.text;
    }
}

TEST(HostNumbers, ADurationBeyondItsLimitIsRefusedRatherThanWrappedAround)
{
    const int64_t limit = 24 * 86400;
    const struct {
        const char *text;
        std::optional<int64_t> seconds;
    } cases[] = {
        {"24d", 24 * 86400},
        {"25d", std::nullopt},
        {"576h", 576 * 3600},
        {"34560m", 34560 * 60},
        {"2073601s", std::nullopt},
        {"12345678901234567890d", std::nullopt},
        {"106751991167300d", std::nullopt}, // times 86400 passes INT64_MAX
    };
    for (const auto &c : cases)
        EXPECT_EQ(readDuration(QString::fromLatin1(c.text))->seconds(limit), c.seconds) << c.text;
}

namespace
{

struct Entry : Subcommand {
    int id;
};

const Entry table[] = {
    {{"info", {"info", "what the meter is"}}, 1},
    {{"stream", {"stream SECONDS", "live readings\nfor SECONDS"}}, 2},
    {{"journal", {"journal list", "the runs"}, {"journal export RUN [--csv FILE]", "one run"}}, 3},
    {{"set", {"set NAME VALUE\n    [--save]", "change a setting"}}, 4},
};

} // namespace

TEST(HostSubcommands, OnlyAWholeNameFindsItsEntry)
{
    const struct {
        const char *name;
        int id; // 0: none
    } cases[] = {
        {"info", 1}, {"stream", 2}, {"journal", 3}, {"set", 4},
        {"str", 0},  {"s", 0},      {"streams", 0}, {"INFO", 0},
        {"", 0},     {"list", 0},   {" info", 0},   {"journal list", 0},
    };
    for (const auto &c : cases) {
        const Entry *e = findSubcommand(std::span<const Entry>(table), QString::fromLatin1(c.name));
        EXPECT_EQ(e ? e->id : 0, c.id) << c.name;
    }
}

TEST(HostSubcommands, UsageErrorsNameEveryEntryInTheTablesOrder)
{
    const auto list = subcommandList(std::span<const Entry>(table));
    const struct {
        qsizetype entries;
        const char *names;
    } cases[] = {
        {0, ""},
        {1, "info"},
        {2, "info or stream"},
        {4, "info, stream, journal or set"},
    };
    for (const auto &c : cases)
        EXPECT_EQ(subcommandNames(list.first(c.entries)), QLatin1String(c.names)) << c.entries;
}

TEST(HostSubcommands, HelpPutsEachSummaryAtItsColumnBesideOrBelowTheSynopsis)
{
    const auto list = subcommandList(std::span<const Entry>(table));
    // "  stream SECONDS" is 16 wide: with two spaces it fits a column of 18
    // and no narrower one.
    const struct {
        int column;
        const char *help;
    } cases[] = {
        {20, "  info              what the meter is\n"
             "  stream SECONDS    live readings\n"
             "                    for SECONDS\n"
             "  journal list      the runs\n"
             "  journal export RUN [--csv FILE]\n"
             "                    one run\n"
             "  set NAME VALUE\n"
             "    [--save]        change a setting\n"},
        {18, "  info            what the meter is\n"
             "  stream SECONDS  live readings\n"
             "                  for SECONDS\n"
             "  journal list    the runs\n"
             "  journal export RUN [--csv FILE]\n"
             "                  one run\n"
             "  set NAME VALUE\n"
             "    [--save]      change a setting\n"},
        {17, "  info           what the meter is\n"
             "  stream SECONDS\n"
             "                 live readings\n"
             "                 for SECONDS\n"
             "  journal list   the runs\n"
             "  journal export RUN [--csv FILE]\n"
             "                 one run\n"
             "  set NAME VALUE\n"
             "    [--save]     change a setting\n"},
    };
    for (const auto &c : cases)
        EXPECT_EQ(subcommandHelp(list, c.column).toStdString(), c.help) << c.column;
}

namespace
{

// What a progress line wrote, read back from a file in memory.
struct Captured {
    char *text = nullptr;
    size_t size = 0;
    std::FILE *file = open_memstream(&text, &size);
    ~Captured() { std::free(text); }
    std::string close()
    {
        std::fclose(file);
        return std::string(text, size);
    }
};

} // namespace

TEST(HostProgressLine, RewritesOneLineAndEndsItOnce)
{
    const struct {
        const char *what;
        bool enabled;
        std::vector<const char *> steps; // a text to show, or nullptr to finish
        const char *written;
    } cases[] = {
        {"two texts",
         true,
         {"1 record", "2 records", nullptr},
         "\r1 record\x1b[K\r2 records\x1b[K\n"},
        {"finished twice", true, {"a", nullptr, nullptr}, "\ra\x1b[K\n"},
        {"a new line after finishing", true, {"a", nullptr, "b"}, "\ra\x1b[K\n\rb\x1b[K\n"},
        {"nothing shown", true, {nullptr}, ""},
        {"not a terminal", false, {"a", "b", nullptr}, ""},
    };
    for (const auto &c : cases) {
        Captured captured;
        {
            ProgressLine line(c.enabled, captured.file);
            for (const char *step : c.steps) {
                if (step)
                    line.show(QString::fromLatin1(step));
                else
                    line.finish();
            }
        } // the line left shown is ended here
        EXPECT_EQ(captured.close(), c.written) << c.what;
    }
}

TEST(HostMeterNames, KnownModelsByNameAndNothingForTheRest)
{
    const struct {
        int model;
        const char *name;
    } cases[] = {{1, "720K"}, {2, "720M"}, {0, ""}, {3, ""}, {-1, ""}};
    for (const auto &c : cases)
        EXPECT_EQ(modelName(c.model), QLatin1String(c.name)) << c.model;
}

TEST(HostStopSignals, TheHandlerCountsAtOnceAndTheEventLoopReportsIt)
{
    struct sigaction before = {};
    {
        StopSignals stops({SIGUSR1, SIGUSR2});
        int received = 0;
        QObject::connect(&stops, &StopSignals::received, [&](int s) { received = s; });
        std::raise(SIGUSR2);
        // Seen by code that runs no event loop (a blocking call, a retry pause)...
        EXPECT_EQ(stops.arrived(), 1);
        EXPECT_EQ(stops.count(), 0);
        // ...and by the event loop, which ends a wait.
        QCoreApplication::processEvents();
        EXPECT_EQ(stops.count(), 1);
        EXPECT_EQ(stops.lastSignal(), SIGUSR2);
        EXPECT_EQ(received, SIGUSR2);
    }
    // Gone, it leaves the signals to their default again.
    sigaction(SIGUSR2, nullptr, &before);
    EXPECT_EQ(before.sa_handler, SIG_DFL);
}

TEST(HostStopSignalsDeathTest, ASecondSignalLeavesAtOnceWhenAsked)
{
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(
        {
            StopSignals stops({SIGUSR1}, 42);
            std::raise(SIGUSR1);
            std::raise(SIGUSR1);
            std::exit(0);
        },
        testing::ExitedWithCode(42), "");
    EXPECT_EXIT(
        {
            StopSignals stops({SIGUSR1});
            std::raise(SIGUSR1);
            std::raise(SIGUSR1);
            std::exit(7);
        },
        testing::ExitedWithCode(7), "");
}
