#pragma once
// The meter's models, unit systems, dialogue states, log records, scripted
// readings and start-up options, shared by its dialogue and its line.
#include <QString>

namespace norvale::simulator
{

// K720 keeps its settings on page D and starts its range table at 0.5 mR/h
// (5 uSv/h); M720 keeps them on page 9 and starts at 5 mR/h (50 uSv/h).
enum class Model { K720, M720 };
enum class Units { R, Sv };

// Streaming covers both the live stream and integration: after "T" the meter
// sends the same text whichever the host means by it.
enum class State {
    Idle,        // powered, away from the prompt: only "C" and blank bursts act
    Command,     // at the "CMD?" prompt
    Monitor,     // at the memory monitor's "*" prompt (or inside "D"/"I")
    Streaming,   // sending range labels and readings after "T"
    Question,    // waiting for the answer to "U", "E", "S" or "H"
    Downloading, // sending the data log after "X"; typed characters wait until it ends
};

// One record of the meter's data log; the texts are sent exactly as given.
struct LogRecord {
    QString temperature; // degrees Celsius, e.g. "23.5"
    int range = 0;       // 0-based index into the meter's range table
    QString value;       // in the units of that range, e.g. "0.123"
};

// One scripted reading of the stream.
struct StreamItem {
    int range = 0; // 0-based index into the meter's range table
    QString value; // sent as given, e.g. "0.14"
};

struct Options {
    Model model = Model::K720;
    Units units = Units::R;
    int portNumber = 1;
    QString portsFolder;          // creates the link <portsFolder>/com<portNumber>; empty: no link
    double charMicros = 8333.3;   // time per character: 1200 baud 8N1 is 10 bits per character
    int readingIntervalMs = 1000; // one reading per interval while streaming
    QString serialNumber =
        QStringLiteral("1234"); // four decimal digits, stored as BCD at offsets 4, 5
    bool settingsOnPageD =
        false;                   // M720 only: page 9 offset 13 reads 0xDD, the area lives on page D
    bool startStreaming = false; // the meter is found streaming, as an earlier session left it
    int logRecords = 5;          // length of the generated data log
    double doseRate =
        -1; // initial dose rate in the meter's units (see setDoseRate); < 0: background
};

} // namespace norvale::simulator
