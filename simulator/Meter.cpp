#include "simulator/Meter.h"

#include "simulator/Dialogue.h"

#include <QDir>
#include <QFileInfo>
#include <QLoggingCategory>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <deque>
#include <fcntl.h>
#include <mutex>
#include <optional>
#include <poll.h>
#include <sys/eventfd.h>
#include <termios.h>
#include <thread>
#include <time.h>
#include <unistd.h>

Q_LOGGING_CATEGORY(lcSim, "norvale.sim", QtInfoMsg)

// The meter's line: the pseudo-terminal, the thread that serves it, the pacing
// of one character at a time, the faults of the line, and the com<n> link.
// The dialogue itself lives in Dialogue.
namespace norvale::simulator
{

namespace
{

using std::chrono::duration_cast;
using std::chrono::microseconds;
using std::chrono::milliseconds;

const QByteArray garbageBytes("\x00\xff~#", 4);

// The inspection buffers keep the recent traffic only, so that a meter left
// streaming for days does not grow without bound.
constexpr qsizetype trafficKept = 4 * 1024 * 1024;
void keepLast(QByteArray &buffer, char c)
{
    if (buffer.size() >= trafficKept)
        buffer.remove(0, trafficKept / 2);
    buffer.append(c);
}

struct Out {
    enum Kind { Byte, Pause, EndDownload } kind = Byte;
    char byte = 0;
    int pauseMs = 0;
};

} // namespace

struct Meter::Impl {
    explicit Impl(Options o) : opt(std::move(o)), dialogue(opt) {}

    Options opt;
    mutable std::mutex m;
    std::thread thread;
    bool running = false;
    int master = -1;
    int wake = -1; // eventfd that interrupts the thread's poll
    QString slave, link;
    bool dropped = false, dropRequested = false, hangUp = true;
    std::optional<Clock::time_point> dropAt;
    QByteArray in, out;

    // Faults of the line.
    bool silent = false, garbage = false, noCR = false;
    int cutMs = 0;
    qint64 dropAfter = -1;

    // Output, paced one character at a time.
    std::deque<Out> queue;
    Clock::time_point nextOut;

    Dialogue dialogue;

    void wakeThread() const
    {
        if (wake >= 0) {
            const uint64_t one = 1;
            [[maybe_unused]] auto n = ::write(wake, &one, sizeof one);
        }
    }

    // Moves the dialogue's replies onto the line, shaped by the faults.
    void takeReplies()
    {
        for (Reply &r : dialogue.takeReplies()) {
            if (!silent && !dropped)
                enqueue(std::move(r.text), r.plainEcho);
            if (r.endsDownload)
                queue.push_back({Out::EndDownload, 0, 0});
        }
    }
    void enqueue(QByteArray text, bool plainEcho)
    {
        if (noCR)
            text.replace("\r\n", "\n");
        if (garbage && !plainEcho)
            text.prepend(garbageBytes);
        if (cutMs > 0 && !plainEcho && text.size() >= 2) {
            const qsizetype half = text.size() / 2;
            push(text.left(half));
            queue.push_back({Out::Pause, 0, cutMs});
            push(text.mid(half));
        } else {
            push(text);
        }
    }
    void push(const QByteArray &text)
    {
        for (char c : text)
            queue.push_back({Out::Byte, c, 0});
    }

    Clock::time_point nextEvent(Clock::time_point now) const
    {
        Clock::time_point t = dialogue.nextEvent(now, queue.empty());
        if (!queue.empty())
            t = std::min(t, nextOut);
        if (dropAt)
            t = std::min(t, *dropAt);
        return std::max(t, now);
    }

    void closeMaster()
    {
        if (master >= 0)
            ::close(master);
        master = -1;
        dropped = true;
        queue.clear();
        qCDebug(lcSim) << "line dropped";
    }

    // Sends at most one character when its time has come; pauses and markers cost no time.
    void sendOne(Clock::time_point now)
    {
        while (!queue.empty() && now >= nextOut && !dropAt) {
            const Out o = queue.front();
            if (o.kind == Out::Pause) {
                queue.pop_front();
                nextOut = now + milliseconds(o.pauseMs);
                return;
            }
            if (o.kind == Out::EndDownload) {
                queue.pop_front();
                dialogue.downloadSent(now);
                takeReplies();
                continue;
            }
            // Nobody has the slave open: the character goes out on a line that nobody listens to.
            if (!hangUp) {
                const ssize_t n = ::write(master, &o.byte, 1);
                if (n != 1) {
                    if (errno == EAGAIN || errno == EINTR) {
                        nextOut = now + milliseconds(1);
                        return;
                    }
                }
            }
            queue.pop_front();
            keepLast(out, o.byte);
            // Pace from the previous character's slot, so that wake-up latency does not slow the
            // line.
            const auto slot = microseconds(static_cast<qint64>(opt.charMicros));
            nextOut = (now - nextOut < 2 * slot ? nextOut : now) + slot;
            if (dropAfter > 0 && --dropAfter == 0) {
                // The last characters still get to the far end before the line goes.
                dropAfter = -1;
                dropAt = now + milliseconds(20);
            }
            return;
        }
    }

    void run()
    {
        std::unique_lock lock(m);
        while (running) {
            if (dropRequested) {
                dropRequested = false;
                closeMaster();
            }
            Clock::time_point now = Clock::now();
            if (dropAt && now >= *dropAt) {
                dropAt.reset();
                closeMaster();
            }
            dialogue.timed(now, queue.empty());
            takeReplies();
            sendOne(now);
            now = Clock::now();
            const auto wait = duration_cast<std::chrono::nanoseconds>(nextEvent(now) - now);
            pollfd fds[2] = {{wake, POLLIN, 0}, {master, POLLIN, 0}};
            const int nfds = master >= 0 ? 2 : 1;
            const int fd = master;
            lock.unlock();
            timespec ts{static_cast<time_t>(wait.count() / 1000000000),
                        static_cast<long>(wait.count() % 1000000000)};
            const int r = ::ppoll(fds, nfds, &ts, nullptr);
            if (r > 0 && (fds[0].revents & POLLIN)) {
                uint64_t v;
                [[maybe_unused]] auto n = ::read(wake, &v, sizeof v);
            }
            char buf[256];
            ssize_t got = 0;
            if (nfds == 2 && (fds[1].revents & POLLIN))
                got = ::read(fd, buf, sizeof buf);
            const bool hup = nfds == 2 && (fds[1].revents & POLLHUP);
            if (hup) {
                // A master without an open slave reports a hang-up at once; do not spin on it.
                const auto slice = std::min<std::chrono::nanoseconds>(wait, milliseconds(5));
                timespec s{0, static_cast<long>(slice.count())};
                ::nanosleep(&s, nullptr);
            }
            lock.lock();
            if (master == fd && fd >= 0)
                hangUp = hup;
            now = Clock::now();
            for (ssize_t k = 0; k < got; ++k) {
                keepLast(in, buf[k]);
                dialogue.receive(buf[k], now);
            }
            takeReplies();
        }
    }
};

Meter::Meter(Options options) : d(std::make_unique<Impl>(std::move(options))) {}

Meter::~Meter()
{
    stop();
}

bool Meter::start(QString *error)
{
    auto fail = [&](const QString &why) {
        if (error)
            *error = why;
        qCWarning(lcSim) << why;
        return false;
    };
    std::lock_guard lock(d->m);
    if (d->running)
        return true;
    const QByteArray serial = d->opt.serialNumber.toLatin1();
    if (serial.size() > 4 ||
        !std::all_of(serial.begin(), serial.end(), [](char c) { return c >= '0' && c <= '9'; }))
        return fail(QStringLiteral("serial number must be up to four decimal digits"));
    const int master = ::posix_openpt(O_RDWR | O_NOCTTY | O_NONBLOCK);
    if (master < 0 || ::grantpt(master) != 0 || ::unlockpt(master) != 0) {
        if (master >= 0)
            ::close(master);
        return fail(QStringLiteral("cannot open a pseudo-terminal: %1")
                        .arg(QString::fromLocal8Bit(strerror(errno))));
    }
    char name[128];
    if (::ptsname_r(master, name, sizeof name) != 0) {
        ::close(master);
        return fail(QStringLiteral("cannot name the pseudo-terminal"));
    }
    // Raw 1200 8N1 from the start: a cooked slave would echo the meter's own output back to it.
    // Opening and closing the slave once also makes the master report a hang-up while no one
    // listens, so that the meter can tell an unplugged line.
    const int slave = ::open(name, O_RDWR | O_NOCTTY);
    if (slave >= 0) {
        termios t{};
        ::tcgetattr(slave, &t);
        ::cfmakeraw(&t);
        ::cfsetispeed(&t, B1200);
        ::cfsetospeed(&t, B1200);
        t.c_cflag |= CLOCAL | CREAD;
        ::tcsetattr(slave, TCSANOW, &t);
        ::close(slave);
    }
    d->slave = QString::fromLocal8Bit(name);
    if (!d->opt.portsFolder.isEmpty()) {
        const QString linkPath =
            QDir(d->opt.portsFolder).filePath(QStringLiteral("com%1").arg(d->opt.portNumber));
        QDir().mkpath(d->opt.portsFolder);
        const QFileInfo info(linkPath);
        if (info.exists() && !info.isSymLink()) {
            ::close(master);
            return fail(QStringLiteral("%1 exists and is not a link").arg(linkPath));
        }
        QFile::remove(linkPath);
        if (!QFile::link(d->slave, linkPath)) {
            ::close(master);
            return fail(QStringLiteral("cannot create the link %1").arg(linkPath));
        }
        d->link = linkPath;
    }
    d->wake = ::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    d->master = master;
    d->running = true;
    d->nextOut = Clock::now();
    if (d->opt.startStreaming) {
        d->dialogue.startStream(false, Clock::now());
        d->takeReplies();
    }
    d->thread = std::thread([this] { d->run(); });
    qCDebug(lcSim) << "meter on" << d->slave << d->link;
    return true;
}

void Meter::stop()
{
    {
        std::lock_guard lock(d->m);
        if (!d->running)
            return;
        d->running = false;
        d->wakeThread();
    }
    d->thread.join();
    std::lock_guard lock(d->m);
    if (d->master >= 0)
        ::close(d->master);
    d->master = -1;
    if (d->wake >= 0)
        ::close(d->wake);
    d->wake = -1;
    // Remove the link only while it still names our slave.
    if (!d->link.isEmpty() && QFileInfo(d->link).symLinkTarget() == d->slave)
        QFile::remove(d->link);
}

QString Meter::slavePath() const
{
    std::lock_guard lock(d->m);
    return d->slave;
}

QString Meter::linkPath() const
{
    std::lock_guard lock(d->m);
    return d->link;
}

QByteArray Meter::received() const
{
    std::lock_guard lock(d->m);
    return d->in;
}

void Meter::clearReceived()
{
    std::lock_guard lock(d->m);
    d->in.clear();
}

QByteArray Meter::sent() const
{
    std::lock_guard lock(d->m);
    return d->out;
}

void Meter::clearSent()
{
    std::lock_guard lock(d->m);
    d->out.clear();
}

State Meter::state() const
{
    std::lock_guard lock(d->m);
    return d->dialogue.state();
}

Model Meter::model() const
{
    std::lock_guard lock(d->m);
    return d->opt.model;
}

Units Meter::units() const
{
    std::lock_guard lock(d->m);
    return d->dialogue.units();
}

bool Meter::lineDropped() const
{
    std::lock_guard lock(d->m);
    return d->dropped || d->dropRequested;
}

std::array<uint8_t, 16> Meter::settingsArea(char page) const
{
    std::lock_guard lock(d->m);
    return d->dialogue.settingsArea(page);
}

std::array<uint8_t, 16> Meter::savedSettingsArea(char page) const
{
    std::lock_guard lock(d->m);
    return d->dialogue.savedSettingsArea(page);
}

QStringList Meter::rangeTexts() const
{
    std::lock_guard lock(d->m);
    return d->dialogue.rangeTexts();
}

QStringList Meter::streamLabels() const
{
    std::lock_guard lock(d->m);
    return d->dialogue.streamLabels();
}

std::vector<LogRecord> Meter::log() const
{
    std::lock_guard lock(d->m);
    return d->dialogue.log();
}

void Meter::setLog(std::vector<LogRecord> records)
{
    std::lock_guard lock(d->m);
    d->dialogue.setLog(std::move(records));
}

void Meter::setRawLogLines(QList<QByteArray> lines)
{
    std::lock_guard lock(d->m);
    d->dialogue.setRawLogLines(std::move(lines));
}

double Meter::integratedDose() const
{
    std::lock_guard lock(d->m);
    return d->dialogue.integratedDose();
}

void Meter::powerCycle()
{
    std::lock_guard lock(d->m);
    d->queue.clear();
    d->dialogue.powerCycle(Clock::now());
    d->takeReplies();
    d->wakeThread();
}

void Meter::setDoseRate(double perHour)
{
    std::lock_guard lock(d->m);
    d->dialogue.setDoseRate(perHour);
}

double Meter::doseRate() const
{
    std::lock_guard lock(d->m);
    return d->dialogue.doseRate();
}

void Meter::setStreamScript(std::vector<StreamItem> items, bool repeatLast)
{
    std::lock_guard lock(d->m);
    d->dialogue.setStreamScript(std::move(items), repeatLast);
}

void Meter::setRawStream(QByteArray bytes)
{
    std::lock_guard lock(d->m);
    d->dialogue.setRawStream(std::move(bytes));
}

void Meter::setSilent(bool on)
{
    std::lock_guard lock(d->m);
    d->silent = on;
}

void Meter::setGarbage(bool on)
{
    std::lock_guard lock(d->m);
    d->garbage = on;
}

void Meter::setCutReplies(int pauseMs)
{
    std::lock_guard lock(d->m);
    d->cutMs = std::max(0, pauseMs);
}

void Meter::setNoCR(bool on)
{
    std::lock_guard lock(d->m);
    d->noCR = on;
}

void Meter::setNoDumpLine(bool on)
{
    std::lock_guard lock(d->m);
    d->dialogue.setNoDumpLine(on);
}

void Meter::setStreamWithoutPause(bool on)
{
    std::lock_guard lock(d->m);
    d->dialogue.setStreamWithoutPause(on);
    d->wakeThread();
}

void Meter::setSilenceAfterRecords(int n)
{
    std::lock_guard lock(d->m);
    d->dialogue.setSilenceAfterRecords(n);
}

void Meter::setDropAfterBytes(qint64 n)
{
    std::lock_guard lock(d->m);
    d->dropAfter = n <= 0 ? (n == 0 ? 0 : -1) : n;
    if (n == 0)
        d->dropRequested = true;
    d->wakeThread();
}

void Meter::dropLine()
{
    std::lock_guard lock(d->m);
    if (d->running)
        d->dropRequested = true;
    else if (d->master >= 0)
        d->closeMaster();
    d->wakeThread();
}

} // namespace norvale::simulator
