#include "simulator/Dialogue.h"

#include <algorithm>
#include <cctype>
#include <cmath>
#include <optional>
#include <random>

namespace norvale::simulator
{

namespace
{

using std::chrono::duration_cast;
using std::chrono::microseconds;
using std::chrono::milliseconds;

// The meter ends a blank burst (the host's way out of the stream) after this much quiet.
constexpr auto blankQuiet = milliseconds(100);
// "E" with no answer: the host sent it alone and closed the port, meaning "keep the changes".
constexpr auto saveQuestionTimeout = milliseconds(1000);
const QByteArray prompt("\r\nCMD?");
constexpr int settingsBase = 0x0FD0; // offset of the settings area within its page
constexpr uint8_t fillerByte = 0xFF;
constexpr uint8_t notHereMarker = 0xDD;

struct RangeDef {
    const char *number;
    const char *unit;
};

// Full-scale numbers and units as the range report prints them.
const RangeDef rangesK720R[5] = {
    {"0.5", "mR/h"}, {"5", "mR/h"}, {"50", "mR/h"}, {"500", "mR/h"}, {"5", "R/h"}};
const RangeDef rangesK720Sv[5] = {
    {"5", "uSv/h"}, {"50", "uSv/h"}, {"500", "uSv/h"}, {"5", "mSv/h"}, {"50", "mSv/h"}};
const RangeDef rangesM720R[5] = {
    {"5", "mR/h"}, {"50", "mR/h"}, {"500", "mR/h"}, {"5", "R/h"}, {"50", "R/h"}};
const RangeDef rangesM720Sv[5] = {
    {"50", "uSv/h"}, {"500", "uSv/h"}, {"5", "mSv/h"}, {"50", "mSv/h"}, {"500", "mSv/h"}};

constexpr int rangeCount = 5;

// Factor from a unit text to micro units of the same system ("mR/h" -> 1000).
double microFactor(const QString &unit)
{
    if (unit.startsWith(QLatin1Char('u')))
        return 1.0;
    if (unit.startsWith(QLatin1Char('m')))
        return 1000.0;
    return 1e6;
}

// Plain decimal, at most four digits, never signed or with an exponent.
QByteArray formatReading(double v)
{
    if (!(v > 0))
        v = 0;
    const int decimals = v < 1 ? 3 : v < 10 ? 2 : v < 100 ? 1 : 0;
    return QByteArray::number(v, 'f', decimals);
}

// Plain decimal with about four significant digits for the dose line.
QByteArray formatDose(double v)
{
    if (!(v > 0))
        return QByteArrayLiteral("0.000");
    const int magnitude = static_cast<int>(std::floor(std::log10(v)));
    const int decimals = std::clamp(3 - magnitude, 0, 9);
    return QByteArray::number(v, 'f', decimals);
}

QByteArray hex2(uint8_t b)
{
    return QByteArray::number(b, 16).toUpper().rightJustified(2, '0');
}
QByteArray hex4(int a)
{
    return QByteArray::number(a & 0xFFFF, 16).toUpper().rightJustified(4, '0');
}

bool isHexDigit(char c)
{
    return std::isxdigit(static_cast<unsigned char>(c)) != 0;
}

QByteArray recordLine(const LogRecord &r)
{
    return r.temperature.toLatin1() + ' ' + QByteArray::number(r.range) + ' ' + r.value.toLatin1() +
           "\r\n";
}

enum class Question { Units, Save, SavedKey, ClearLog, ModeButton };
enum class MonitorStep { Prompt, Address, Shown, Data };

} // namespace

struct Dialogue::Impl {
    Options opt;

    State state = State::Idle;
    Units units = Units::R, savedUnits = Units::R;
    std::array<uint8_t, 16> ram{}, nv{};
    std::vector<LogRecord> records;
    QList<QByteArray> logLines;

    // Behaviours of a meter that answers wrongly.
    bool noDump = false, noPause = false;
    int silenceAfter = -1;

    // Stream.
    double rate = 15; // uR/h whatever the units: 1 uSv/h = 100 uR/h
    double dose = 0;  // uR
    double streamRate = 15;
    std::vector<StreamItem> script;
    bool repeatLast = true;
    size_t scriptPos = 0;
    QByteArray rawStream;
    bool rawActive = false, streamStopping = false;
    int lastRange = -1;
    Clock::time_point nextReading, lastIntegrate;
    std::minstd_rand rng{721};

    // Dialogue.
    bool blankPending = false, formFeed = false;
    Clock::time_point lastInput;
    Question question = Question::Units;
    std::optional<Clock::time_point> saveDeadline;
    MonitorStep monitor = MonitorStep::Prompt;
    char monitorCommand = 'D';
    QByteArray entry; // address or data digits being typed
    int address = 0;
    QByteArray typeAhead;

    // Replies not yet taken by the line.
    std::vector<Reply> replies;

    char settingsPage() const
    {
        return opt.model == Model::K720 || opt.settingsOnPageD ? 'D' : '9';
    }
    const RangeDef *rangeTable() const
    {
        if (opt.model == Model::K720)
            return units == Units::R ? rangesK720R : rangesK720Sv;
        return units == Units::R ? rangesM720R : rangesM720Sv;
    }
    double unitScale() const { return units == Units::R ? 1.0 : 100.0; }
    QString streamUnit(int i) const
    {
        if (opt.model == Model::K720 && units == Units::R && i == 0)
            return QStringLiteral("uR/h");
        return QString::fromLatin1(rangeTable()[i].unit);
    }
    QString streamLabel(int i) const
    {
        if (opt.model == Model::K720 && units == Units::R && i == 0)
            return QStringLiteral("500 uR/h");
        return QString::fromLatin1(rangeTable()[i].number) + QLatin1Char(' ') +
               QString::fromLatin1(rangeTable()[i].unit);
    }
    // Full scale of range i in uR/h.
    double fullScale(int i) const
    {
        return QByteArray(rangeTable()[i].number).toDouble() *
               microFactor(QString::fromLatin1(rangeTable()[i].unit)) * unitScale();
    }
    double readingFactor(int i) const { return microFactor(streamUnit(i)) * unitScale(); }
    int autorange(double r) const
    {
        for (int i = 0; i < rangeCount; ++i)
            if (r <= fullScale(i))
                return i;
        return rangeCount - 1;
    }

    std::array<uint8_t, 16> area(char page, const std::array<uint8_t, 16> &settings) const
    {
        std::array<uint8_t, 16> a;
        a.fill(fillerByte);
        const char p = static_cast<char>(std::toupper(static_cast<unsigned char>(page)));
        if (p == settingsPage())
            return settings;
        if (p == '9' && settingsPage() == 'D' && opt.settingsOnPageD)
            a[13] = notHereMarker;
        return a;
    }
    uint8_t byteAt(int addr) const
    {
        if ((addr & 0x0FF0) != settingsBase)
            return fillerByte;
        const int page = (addr >> 12) & 0xF;
        if (page != 0xD && page != 0x9)
            return fillerByte;
        return area(page == 0xD ? 'D' : '9', ram)[addr & 0xF];
    }

    void defaultSettings()
    {
        ram = {0x07, 0x21, 50,   0x00, 0x12, 0x34, 0x00, 0x00,
               0x00, 0x00, 0x00, 0x00, 0x00, 0x01, 0x00, 0x20};
        // Sample rate 60: on page D at offset 12, on page 9 at offset 3.
        ram[settingsPage() == 'D' ? 12 : 3] = 60;
        const QByteArray serial = opt.serialNumber.toLatin1().rightJustified(4, '0');
        auto digit = [&](int k) {
            return serial[k] >= '0' && serial[k] <= '9' ? serial[k] - '0' : 0;
        };
        ram[4] = static_cast<uint8_t>((digit(0) << 4) | digit(1));
        ram[5] = static_cast<uint8_t>((digit(2) << 4) | digit(3));
        nv = ram;
    }

    void defaultLog(int n)
    {
        // A quiet background day with one short excursion, in the ranges the meter would pick.
        static const double rates[] = {14.9, 15.6, 15.1, 1200, 12300, 16.2, 14.7, 15.4};
        records.clear();
        for (int k = 0; k < n; ++k) {
            const double r = rates[k % 8];
            const int range = autorange(r);
            records.push_back({QString::number(21.8 + 0.3 * (k % 7), 'f', 1), range,
                               QString::fromLatin1(formatReading(r / readingFactor(range)))});
        }
        setRecords(records);
    }
    void setRecords(const std::vector<LogRecord> &rs)
    {
        records = rs;
        logLines.clear();
        for (const LogRecord &r : rs)
            logLines.append(recordLine(r));
    }

    void reply(QByteArray text, bool plainEcho = false)
    {
        replies.push_back({std::move(text), plainEcho, false});
    }

    void toCommand()
    {
        state = State::Command;
        formFeed = false;
        rawActive = false;
        streamStopping = false;
        saveDeadline.reset();
    }
    void commandC()
    {
        toCommand();
        reply("C" + prompt);
    }

    void startStream(bool echo, Clock::time_point now)
    {
        state = State::Streaming;
        dose = 0;
        streamStopping = false;
        scriptPos = 0;
        lastIntegrate = now;
        nextReading = now + milliseconds(opt.readingIntervalMs);
        QByteArray text = echo ? QByteArray("T") : QByteArray();
        if (!rawStream.isEmpty()) {
            rawActive = true;
            reply(text + rawStream);
            return;
        }
        rawActive = false;
        lastRange =
            script.empty() ? autorange(rate) : std::clamp(script.front().range, 0, rangeCount - 1);
        streamRate = script.empty() ? rate : scriptRate(script.front());
        reply(text + "\r\n" + streamLabel(lastRange).toLatin1() + "\r\n");
    }
    double scriptRate(const StreamItem &item) const
    {
        const int r = std::clamp(item.range, 0, rangeCount - 1);
        return item.value.toDouble() * readingFactor(r);
    }
    void nextStreamReading()
    {
        int range;
        QByteArray value;
        if (!script.empty()) {
            if (scriptPos >= script.size()) {
                if (!repeatLast)
                    return; // the script has ended: the stream falls silent
                scriptPos = script.size() - 1;
            }
            const StreamItem &item = script[scriptPos++];
            range = std::clamp(item.range, 0, rangeCount - 1);
            value = item.value.toLatin1();
            streamRate = scriptRate(item);
        } else {
            std::uniform_real_distribution<double> noise(-0.03, 0.03);
            streamRate = rate * (1.0 + noise(rng));
            range = autorange(streamRate);
            value = formatReading(std::min(streamRate, fullScale(range)) / readingFactor(range));
        }
        QByteArray text;
        if (range != lastRange)
            text = streamLabel(range).toLatin1() + "\r\n";
        lastRange = range;
        reply(text + value + "\r\n");
    }

    void download()
    {
        state = State::Downloading;
        QByteArray text = "X\r\n";
        bool complete = true;
        for (qsizetype k = 0; k < logLines.size(); ++k) {
            if (silenceAfter >= 0 && k >= silenceAfter) {
                complete = false;
                break;
            }
            text += logLines[k];
        }
        if (silenceAfter >= 0 && logLines.size() > silenceAfter)
            complete = false;
        if (complete)
            text += "Cal 14-Mar-2026\r\n" + prompt;
        replies.push_back({text, false, true});
    }

    QByteArray rangeReport() const
    {
        QByteArray text = "R\r\n";
        const RangeDef *t = rangeTable();
        for (int i = 0; i < rangeCount; ++i)
            text += QByteArray::number(i + 1) + "  " + t[i].number + ' ' + t[i].unit + " \r\n";
        // Lines that are not ranges: the host skips them by their "Int"/"Micro" word.
        text += "6  Integrate mode \r\n";
        text += units == Units::R ? "7  Microroentgen units \r\n" : "7  Microsievert units \r\n";
        text += "Battery OK\r\n";
        text += formatDose(dose / (units == Units::R ? 1000.0 : 100.0)) +
                (units == Units::R ? " mR integrated\r\n" : " micro Sv integrated\r\n");
        return text + prompt;
    }

    QByteArray dumpLine(int addr) const
    {
        QByteArray line = hex4(addr) + ' ';
        for (int k = 0; k < 16; ++k)
            line += hex2(byteAt(addr + k)) + ' ';
        return line + "\r\n";
    }

    void handle(char c, Clock::time_point now)
    {
        lastInput = now;
        if (state == State::Downloading) {
            typeAhead.append(c); // the meter reads its keys again when the log is out
            return;
        }
        if (c == ' ') {
            if (state == State::Streaming || state == State::Idle || state == State::Command) {
                blankPending = true;
                if (state == State::Streaming)
                    streamStopping = true;
            }
            return;
        }
        if (state != State::Streaming)
            blankPending = false;
        switch (state) {
        case State::Idle:
            if (c == 'C')
                commandC();
            break;
        case State::Command:
            command(c, now);
            break;
        case State::Monitor:
            monitorKey(c);
            break;
        case State::Question:
            answer(c);
            break;
        case State::Streaming:
        case State::Downloading:
            break;
        }
    }

    void command(char c, Clock::time_point now)
    {
        const bool afterFormFeed = formFeed;
        formFeed = false;
        switch (c) {
        case '\x0c':
            formFeed = true;
            reply(prompt);
            return;
        case '*':
            if (afterFormFeed) {
                state = State::Monitor;
                monitor = MonitorStep::Prompt;
                reply("*\r\n*");
                return;
            }
            break;
        case 'C':
            commandC();
            return;
        case 'R':
            reply(rangeReport());
            return;
        case 'T':
            startStream(true, now);
            return;
        case 'X':
            download();
            return;
        case 'Y':
            records.clear();
            logLines.clear();
            reply("Y\r\nLog cleared" + prompt);
            return;
        case 'U':
            ask(Question::Units, "U\r\nChange units (Y/N)? ");
            return;
        case 'S':
            ask(Question::ClearLog, "S\r\nClear log on integrate reset (0=no 1=yes)? ");
            return;
        case 'H':
            ask(Question::ModeButton, "H\r\nMode button (0=off 1=integrate 2=freeze)? ");
            return;
        case 'E':
            ask(Question::Save, "E\r\nSave settings (Y/N)? ");
            return;
        case 'Q':
            ram = nv;
            units = savedUnits;
            state = State::Idle;
            reply("Q");
            return;
        case '\r':
        case '\n':
            reply(prompt);
            return;
        default:
            break;
        }
        if (std::isprint(static_cast<unsigned char>(c)))
            reply(QByteArray(1, c) + prompt); // unknown command: echo and a fresh prompt
    }

    void ask(Question q, const QByteArray &text)
    {
        state = State::Question;
        question = q;
        saveDeadline.reset();
        reply(text);
    }

    void answer(char c)
    {
        const char u = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
        if (c == 'C') {
            commandC();
            return;
        }
        switch (question) {
        case Question::Units:
            if (u == 'Y')
                units = units == Units::R ? Units::Sv : Units::R;
            if (u == 'Y' || u == 'N') {
                toCommand();
                reply(QByteArray(1, u) + prompt);
            }
            return;
        case Question::Save:
            if (u == 'Y') {
                nv = ram;
                savedUnits = units;
                question = Question::SavedKey;
                saveDeadline.reset();
                reply("Y\r\nSaved\r\n");
            } else if (u == 'N') {
                toCommand();
                reply("N" + prompt);
            }
            return;
        case Question::SavedKey:
            toCommand();
            reply(prompt);
            return;
        case Question::ClearLog:
        case Question::ModeButton: {
            if (!std::isprint(static_cast<unsigned char>(c)))
                return;
            const int max = question == Question::ClearLog ? 1 : 2;
            // Any other key is echoed and leaves the setting as it was.
            if (c >= '0' && c <= '0' + max) {
                const int v = c - '0';
                if (question == Question::ClearLog)
                    ram[13] = static_cast<uint8_t>((ram[13] & ~0x10) | (v << 4));
                else
                    ram[13] = static_cast<uint8_t>((ram[13] & ~0x03) | v);
            }
            toCommand();
            reply(QByteArray(1, c) + prompt);
            return;
        }
        }
    }

    void monitorKey(char c)
    {
        const char u = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
        switch (monitor) {
        case MonitorStep::Prompt:
            if (u == 'D' || u == 'I') {
                monitorCommand = u;
                monitor = MonitorStep::Address;
                entry.clear();
                reply(QByteArray(1, c));
            } else if (u == 'C') {
                commandC();
            } else if (c == '.') {
                reply(".\r\n*");
            } else if (c == '\r') {
                reply("\r\n*");
            } else if (std::isprint(static_cast<unsigned char>(c))) {
                reply(QByteArray(1, c) + "\r\n*");
            }
            return;
        case MonitorStep::Address:
            if (isHexDigit(c) && entry.size() < 4) {
                entry.append(u);
                reply(QByteArray(1, c), true);
            } else if (c == '\r') {
                if (entry.size() < 4) {
                    monitor = MonitorStep::Prompt;
                    reply("\r\n*");
                    return;
                }
                address = entry.toInt(nullptr, 16);
                if (monitorCommand == 'D') {
                    monitor = MonitorStep::Shown;
                    reply(noDump ? QByteArray("\r\n") : "\r\n" + dumpLine(address));
                } else {
                    monitor = MonitorStep::Data;
                    entry.clear();
                    reply("\r\n" + hex4(address) + ' ' + hex2(byteAt(address)) + ' ');
                }
            } else if (c == '.') {
                monitor = MonitorStep::Prompt;
                reply(".\r\n*");
            }
            return;
        case MonitorStep::Shown:
            if (c == '.') {
                monitor = MonitorStep::Prompt;
                reply(".\r\n*");
            } else if (c == '\r') {
                address = (address + 16) & 0xFFFF;
                reply(noDump ? QByteArray() : dumpLine(address));
            } else if (u == 'C') {
                commandC();
            }
            return;
        case MonitorStep::Data:
            if (isHexDigit(c) && entry.size() < 2) {
                entry.append(u);
                reply(QByteArray(1, c), true);
            } else if (c == '\r') {
                if (!entry.isEmpty())
                    write(address, static_cast<uint8_t>(entry.toInt(nullptr, 16)));
                entry.clear();
                address = (address + 1) & 0xFFFF;
                reply("\r\n" + hex4(address) + ' ' + hex2(byteAt(address)) + ' ');
            } else if (c == '.') {
                monitor = MonitorStep::Prompt;
                reply(".\r\n*");
            }
            return;
        }
    }

    // Only the settings area is writable; the rest of the map is read-only.
    void write(int addr, uint8_t value)
    {
        if ((addr & 0x0FF0) != settingsBase)
            return;
        const int page = (addr >> 12) & 0xF;
        if ((page == 0xD && settingsPage() == 'D') || (page == 0x9 && settingsPage() == '9'))
            ram[addr & 0xF] = value;
    }

    void timed(Clock::time_point now, bool lineIdle)
    {
        if (state == State::Streaming) {
            dose += streamRate * duration_cast<microseconds>(now - lastIntegrate).count() / 3.6e9;
            lastIntegrate = now;
        }
        if (blankPending && now - lastInput >= blankQuiet) {
            blankPending = false;
            if (state == State::Streaming || state == State::Idle || state == State::Command) {
                toCommand();
                reply(prompt);
            }
        }
        if (state == State::Streaming && !streamStopping && !rawActive) {
            if (noPause) {
                if (lineIdle)
                    nextStreamReading();
            } else if (now >= nextReading) {
                nextStreamReading();
                nextReading += milliseconds(opt.readingIntervalMs);
                if (nextReading <= now)
                    nextReading = now + milliseconds(opt.readingIntervalMs);
            }
        }
        if (state == State::Question && question == Question::Save && lineIdle) {
            if (!saveDeadline)
                saveDeadline = now + saveQuestionTimeout;
            else if (now >= *saveDeadline) {
                nv = ram;
                savedUnits = units;
                saveDeadline.reset();
                state = State::Idle;
            }
        }
    }

    // The next instant at which timed() has something to do.
    Clock::time_point nextEvent(Clock::time_point now) const
    {
        Clock::time_point t = now + milliseconds(50);
        if (blankPending)
            t = std::min(t, lastInput + blankQuiet);
        if (state == State::Streaming && !streamStopping && !rawActive && !noPause)
            t = std::min(t, nextReading);
        if (saveDeadline)
            t = std::min(t, *saveDeadline);
        return std::max(t, now);
    }
};

Dialogue::Dialogue(const Options &options) : d(std::make_unique<Impl>())
{
    d->opt = options;
    d->units = d->savedUnits = d->opt.units;
    d->defaultSettings();
    d->defaultLog(std::max(0, d->opt.logRecords));
    // Without a given rate the meter sees background, about 0.15 uSv/h.
    d->rate = d->opt.doseRate >= 0 ? d->opt.doseRate * d->unitScale() : 15;
}

Dialogue::~Dialogue() = default;

void Dialogue::receive(char c, Clock::time_point now)
{
    d->handle(c, now);
}

void Dialogue::timed(Clock::time_point now, bool lineIdle)
{
    d->timed(now, lineIdle);
}

Clock::time_point Dialogue::nextEvent(Clock::time_point now, bool) const
{
    return d->nextEvent(now);
}

std::vector<Reply> Dialogue::takeReplies()
{
    return std::exchange(d->replies, {});
}

void Dialogue::downloadSent(Clock::time_point now)
{
    if (d->state != State::Downloading)
        return;
    d->toCommand();
    const QByteArray keys = std::exchange(d->typeAhead, {});
    for (char c : keys)
        d->handle(c, now);
}

void Dialogue::startStream(bool echo, Clock::time_point now)
{
    d->startStream(echo, now);
}

void Dialogue::powerCycle(Clock::time_point now)
{
    d->ram = d->nv;
    d->units = d->savedUnits;
    d->replies.clear();
    d->typeAhead.clear();
    d->blankPending = false;
    d->saveDeadline.reset();
    d->dose = 0;
    d->monitor = MonitorStep::Prompt;
    d->state = State::Idle;
    if (d->opt.startStreaming)
        d->startStream(false, now);
}

State Dialogue::state() const
{
    return d->state;
}

Units Dialogue::units() const
{
    return d->units;
}

std::array<uint8_t, 16> Dialogue::settingsArea(char page) const
{
    return d->area(page, d->ram);
}

std::array<uint8_t, 16> Dialogue::savedSettingsArea(char page) const
{
    return d->area(page, d->nv);
}

QStringList Dialogue::rangeTexts() const
{
    QStringList list;
    for (int i = 0; i < rangeCount; ++i)
        list << QString::fromLatin1(d->rangeTable()[i].number) + QLatin1Char(' ') +
                    QString::fromLatin1(d->rangeTable()[i].unit);
    return list;
}

QStringList Dialogue::streamLabels() const
{
    QStringList list;
    for (int i = 0; i < rangeCount; ++i)
        list << d->streamLabel(i);
    return list;
}

std::vector<LogRecord> Dialogue::log() const
{
    return d->records;
}

void Dialogue::setLog(std::vector<LogRecord> records)
{
    d->setRecords(records);
}

void Dialogue::setRawLogLines(QList<QByteArray> lines)
{
    d->records.clear();
    d->logLines = std::move(lines);
}

double Dialogue::integratedDose() const
{
    return d->dose / (d->units == Units::R ? 1000.0 : 100.0);
}

void Dialogue::setDoseRate(double perHour)
{
    d->rate = std::max(0.0, perHour) * d->unitScale();
    if (d->script.empty())
        d->streamRate = d->rate;
}

double Dialogue::doseRate() const
{
    return d->rate / d->unitScale();
}

void Dialogue::setStreamScript(std::vector<StreamItem> items, bool repeatLast)
{
    d->script = std::move(items);
    d->repeatLast = repeatLast;
    d->scriptPos = 0;
}

void Dialogue::setRawStream(QByteArray bytes)
{
    d->rawStream = std::move(bytes);
}

void Dialogue::setNoDumpLine(bool on)
{
    d->noDump = on;
}

void Dialogue::setStreamWithoutPause(bool on)
{
    d->noPause = on;
}

void Dialogue::setSilenceAfterRecords(int n)
{
    d->silenceAfter = n < 0 ? -1 : n;
}

} // namespace norvale::simulator
