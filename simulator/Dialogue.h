#pragma once
// The meter's dialogue without a line: what it answers to each character the
// host types, what it sends by itself as time passes (readings, the prompt
// after a blank burst), its memory map, range tables and data log. It takes a
// character and the time and leaves the replies to send; no threads, no I/O.
#include "simulator/MeterTypes.h"

#include <QByteArray>
#include <QList>
#include <QStringList>

#include <array>
#include <chrono>
#include <cstdint>
#include <memory>
#include <vector>

namespace norvale::simulator
{

using Clock = std::chrono::steady_clock;

// What the meter sends in answer to one character or one timed event; the
// line's faults act on whole replies.
struct Reply {
    QByteArray text;
    bool plainEcho = false;    // the echo of one typed digit, which no fault disturbs
    bool endsDownload = false; // the meter reads its keys again once this is out
};

class Dialogue
{
public:
    explicit Dialogue(const Options &options);
    ~Dialogue();
    Dialogue(const Dialogue &) = delete;
    Dialogue &operator=(const Dialogue &) = delete;

    // One character typed by the host at `now`.
    void receive(char c, Clock::time_point now);
    // What falls due by `now`: the end of a blank burst, the next reading, the
    // time-out of the save question. `lineIdle`: every reply has gone out.
    void timed(Clock::time_point now, bool lineIdle);
    // The next instant at which timed() has something to do.
    Clock::time_point nextEvent(Clock::time_point now, bool lineIdle) const;
    // The replies made since the last call, oldest first.
    std::vector<Reply> takeReplies();
    // The reply that ends a download has gone out: typed-ahead keys are read.
    void downloadSent(Clock::time_point now);
    // Starts the stream as "T" does (without its echo when the meter is found streaming).
    void startStream(bool echo, Clock::time_point now);
    // Working settings := non-volatile copy, dose cleared, state Idle (or streaming).
    void powerCycle(Clock::time_point now);

    State state() const;
    Units units() const;
    std::array<uint8_t, 16> settingsArea(char page) const;
    std::array<uint8_t, 16> savedSettingsArea(char page) const;
    QStringList rangeTexts() const;
    QStringList streamLabels() const;
    std::vector<LogRecord> log() const;
    void setLog(std::vector<LogRecord> records);
    void setRawLogLines(QList<QByteArray> lines);
    double integratedDose() const;
    void setDoseRate(double perHour);
    double doseRate() const;
    void setStreamScript(std::vector<StreamItem> items, bool repeatLast);
    void setRawStream(QByteArray bytes);
    // Behaviours of a meter that answers wrongly (see Meter).
    void setNoDumpLine(bool on);
    void setStreamWithoutPause(bool on);
    void setSilenceAfterRecords(int n);

private:
    struct Impl;
    std::unique_ptr<Impl> d;
};

} // namespace norvale::simulator
