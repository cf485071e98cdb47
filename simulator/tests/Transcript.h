#pragma once
// Recorded conversations with the meter, kept as data: what the host types,
// what the meter answers, and the marks that matter (time passing, the state,
// settings bytes). One file per conversation, replayed against the dialogue
// alone and, where a file names the host's call, through the real server.
//
//   # comment
//   meter K R serial=0705 page-d log=3 dose=36000   a fresh meter (model, units, options)
//   host Initialize          the server call that produces this whole conversation
//   > C                      typed; escapes \r \n \f \s (blank) \xHH \\ ; blanks are kept
//   < C\r\nCMD?              sent since the last check, exactly; a following "<" line continues it
//   + 150                    milliseconds pass
//   state Command            the meter's dialogue state
//   ram D 13 11              byte 13 of the working settings on page D (hex)
//   saved 9 15 50            the same in the non-volatile copy
//   units Sv                 the unit system
//   power                    a power cycle
#include "simulator/MeterTypes.h"

#include <QFile>
#include <QList>
#include <QString>
#include <QStringList>

namespace norvale::simulator::testing
{

struct Step {
    enum Kind { Meter, Type, Expect, Wait, StateIs, Ram, Saved, UnitsAre, Power } kind;
    int line = 0;      // in the file, for messages
    QByteArray text;   // Type, Expect (unescaped)
    QStringList words; // Meter, StateIs, Ram, Saved, UnitsAre
    int ms = 0;        // Wait
};

struct Transcript {
    QString name;
    QString hostCall; // empty unless the file names one
    QList<Step> steps;
    QString error; // not empty when the file could not be read
};

inline QByteArray unescape(const QByteArray &in)
{
    QByteArray out;
    for (qsizetype i = 0; i < in.size(); ++i) {
        if (in[i] != '\\' || i + 1 == in.size()) {
            out += in[i];
            continue;
        }
        const char c = in[++i];
        if (c == 'r')
            out += '\r';
        else if (c == 'n')
            out += '\n';
        else if (c == 'f')
            out += '\f';
        else if (c == 's')
            out += ' ';
        else if (c == 'x' && i + 2 < in.size() + 1) {
            out += static_cast<char>(in.mid(i + 1, 2).toInt(nullptr, 16));
            i += 2;
        } else
            out += c;
    }
    return out;
}

inline Transcript readTranscript(const QString &path)
{
    Transcript t;
    t.name = path.section(QLatin1Char('/'), -1);
    QFile f(path);
    if (!f.open(QIODevice::ReadOnly)) {
        t.error = f.errorString();
        return t;
    }
    int n = 0;
    bool lastWasExpect = false;
    for (QByteArray raw : f.readAll().split('\n')) {
        ++n;
        if (raw.endsWith('\r'))
            raw.chop(1);
        if (raw.isEmpty() || raw.startsWith('#')) {
            lastWasExpect = false;
            continue;
        }
        const QByteArray rest = raw.mid(2);
        Step s{Step::Meter, n, {}, {}, 0};
        const QStringList words =
            QString::fromLatin1(raw).split(QLatin1Char(' '), Qt::SkipEmptyParts);
        if (raw.startsWith("> ")) {
            s.kind = Step::Type;
            s.text = unescape(rest);
        } else if (raw.startsWith("< ") || raw == "<") {
            if (lastWasExpect) {
                t.steps.last().text += unescape(rest);
                continue;
            }
            s.kind = Step::Expect;
            s.text = unescape(rest);
        } else if (raw.startsWith("+ ")) {
            s.kind = Step::Wait;
            s.ms = rest.trimmed().toInt();
        } else if (words[0] == QLatin1String("host")) {
            t.hostCall = words.mid(1).join(QLatin1Char(' '));
            continue;
        } else {
            static const QList<QPair<QString, Step::Kind>> kinds = {
                {"meter", Step::Meter}, {"state", Step::StateIs},  {"ram", Step::Ram},
                {"saved", Step::Saved}, {"units", Step::UnitsAre}, {"power", Step::Power}};
            bool known = false;
            for (const auto &[word, kind] : kinds)
                if (words[0] == word) {
                    s.kind = kind;
                    known = true;
                }
            if (!known) {
                t.error = QStringLiteral("line %1: unknown step %2").arg(n).arg(words[0]);
                return t;
            }
            s.words = words.mid(1);
        }
        lastWasExpect = s.kind == Step::Expect;
        t.steps.append(s);
    }
    return t;
}

// The options a "meter" step names, on top of `base`.
inline Options meterOptions(const QStringList &words, Options base = {})
{
    for (const QString &w : words) {
        const QString value = w.section(QLatin1Char('='), 1);
        if (w == QLatin1String("K"))
            base.model = Model::K720;
        else if (w == QLatin1String("M"))
            base.model = Model::M720;
        else if (w == QLatin1String("R"))
            base.units = Units::R;
        else if (w == QLatin1String("Sv"))
            base.units = Units::Sv;
        else if (w == QLatin1String("page-d"))
            base.settingsOnPageD = true;
        else if (w == QLatin1String("streaming"))
            base.startStreaming = true;
        else if (w.startsWith(QLatin1String("serial=")))
            base.serialNumber = value;
        else if (w.startsWith(QLatin1String("log=")))
            base.logRecords = value.toInt();
        else if (w.startsWith(QLatin1String("dose=")))
            base.doseRate = value.toDouble();
        else if (w.startsWith(QLatin1String("interval=")))
            base.readingIntervalMs = value.toInt();
    }
    return base;
}

inline QString stateName(State s)
{
    static const char *names[] = {"Idle",      "Command",  "Monitor",
                                  "Streaming", "Question", "Downloading"};
    return QString::fromLatin1(names[static_cast<int>(s)]);
}

} // namespace norvale::simulator::testing
