#pragma once
// The 721 survey meter, played on a pseudo-terminal so that the instrument
// server can be tested end to end over a real serial device.
//
// The meter runs on its own thread: it polls the pty master, answers what the
// host types and paces its output one character at a time, so it keeps its
// pace while the host's thread is blocked in a sleep. Every public method is
// thread-safe. The exact text of every reply is described in
// simulator/README.md.
#include "simulator/MeterTypes.h"

#include <QByteArray>
#include <QList>
#include <QString>
#include <QStringList>

#include <array>
#include <cstdint>
#include <memory>
#include <vector>

namespace norvale::simulator
{

class Meter
{
public:
    explicit Meter(Options options = {});
    ~Meter(); // stops the thread, closes the pty, removes the link
    Meter(const Meter &) = delete;
    Meter &operator=(const Meter &) = delete;

    // Opens the pty, creates the link and starts the meter's thread.
    bool start(QString *error = nullptr);
    void stop();
    QString slavePath() const;
    QString linkPath() const; // empty without a ports folder

    // Inspection.
    QByteArray received() const; // every byte the host sent, in order
    void clearReceived();
    QByteArray sent() const; // every byte the meter put on the line, in order
    void clearSent();
    State state() const;
    Model model() const;
    Units units() const;
    bool lineDropped() const;
    // The 16 bytes the monitor shows at <page>FD0..<page>FDF ('D' or '9'): the
    // working (RAM) copy, and the non-volatile copy as it would show after a power cycle.
    std::array<uint8_t, 16> settingsArea(char page) const;
    std::array<uint8_t, 16> savedSettingsArea(char page) const;

    // The range table in the current units: report texts ("0.5 mR/h") and
    // stream labels ("500 uR/h" for range 0 of a K720 in R, else the same).
    QStringList rangeTexts() const;
    QStringList streamLabels() const;

    // The data log (kept over a power cycle; cleared by "Y").
    std::vector<LogRecord> log() const;
    void setLog(std::vector<LogRecord> records);
    // Exact lines, each with its own line end, for malformed-record tests; replaces the log.
    void setRawLogLines(QList<QByteArray> lines);

    // Integrated dose since the last "T": mR for roentgen units, uSv for sievert units.
    double integratedDose() const;

    // Working settings := non-volatile copy; dose cleared; state Idle (Streaming
    // when started so). A dropped line stays dropped.
    void powerCycle();

    // Stream content. The dose rate is in uR/h for roentgen units and in uSv/h
    // for sievert units, read in the units the meter has at the time of the
    // call (1 uSv/h = 100 uR/h); the meter picks the lowest range that holds it.
    void setDoseRate(double perHour);
    double doseRate() const; // in the meter's current units
    // Readings taken from the script, one per interval, instead of the dose
    // rate; at its end the last item repeats, or the stream falls silent.
    // An empty script returns to the dose rate.
    void setStreamScript(std::vector<StreamItem> items, bool repeatLast = true);
    // Bytes sent verbatim after the echo of "T", then silence. Empty: off.
    void setRawStream(QByteArray bytes);

    // Faults.
    void setSilent(bool on);             // no output at all; input still processed
    void setGarbage(bool on);            // "\x00\xff~#" before every reply
    void setCutReplies(int pauseMs);     // every reply cut in two with a pause; 0: off
    void setNoCR(bool on);               // line ends are LF only
    void setNoDumpLine(bool on);         // the monitor's "D" prints no dump line
    void setStreamWithoutPause(bool on); // readings follow each other without a gap
    void setSilenceAfterRecords(int n);  // the log stops after n records (no end line); -1: off
    void setDropAfterBytes(qint64 n);    // close the master 20 ms after n more bytes; -1: off
    void dropLine();                     // close the master now: the adapter is pulled out

private:
    struct Impl;
    std::unique_ptr<Impl> d;
};

} // namespace norvale::simulator
