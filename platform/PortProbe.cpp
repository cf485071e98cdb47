#include "platform/PortProbe.h"

#include "platform/SerialLink.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <cerrno>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <grp.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

namespace norvale::platform
{

namespace
{

QString osText(int err)
{
    return QString::fromLocal8Bit(std::strerror(err));
}

QString processName(pid_t pid)
{
    QFile comm(QStringLiteral("/proc/%1/comm").arg(pid));
    if (!comm.open(QIODevice::ReadOnly))
        return {};
    return QString::fromLocal8Bit(comm.readAll()).trimmed();
}

bool alive(pid_t pid)
{
    return pid > 0 && (::kill(pid, 0) == 0 || errno == EPERM);
}

// The serial layer locks a port with a file named after the device path
// without "/dev/", its slashes turned into underscores.
PortHolder lockFileHolder(const QString &path)
{
    QString name = path.startsWith(QLatin1String("/dev/")) ? path.mid(5) : path;
    name.replace(QLatin1Char('/'), QLatin1Char('_'));
    for (const char *dir : {"/var/lock", "/run/lock", "/tmp", "/var/tmp"}) {
        QFile lock(QString::fromLatin1(dir) + QStringLiteral("/LCK..") + name);
        if (!lock.open(QIODevice::ReadOnly))
            continue;
        bool ok = false;
        const pid_t pid = static_cast<pid_t>(lock.readLine().trimmed().toLongLong(&ok));
        if (ok && pid != ::getpid() && alive(pid))
            return {pid, processName(pid)};
    }
    return {};
}

template <typename Match> PortHolder scanProcesses(Match match)
{
    const QStringList pids = QDir(QStringLiteral("/proc")).entryList(QDir::Dirs);
    for (const QString &p : pids) {
        bool ok = false;
        const pid_t pid = static_cast<pid_t>(p.toLongLong(&ok));
        if (!ok || pid == ::getpid())
            continue;
        const QString fdDir = QStringLiteral("/proc/%1/fd").arg(pid);
        const QStringList fds = QDir(fdDir).entryList(QDir::Files | QDir::System);
        for (const QString &fd : fds)
            if (match(pid, fd, QFile::symLinkTarget(fdDir + QLatin1Char('/') + fd)))
                return {pid, processName(pid)};
    }
    return {};
}

} // namespace

PortHolder findPortHolder(const QString &path)
{
    if (path.isEmpty())
        return {};
    const PortHolder locked = lockFileHolder(path);
    if (locked.pid)
        return locked;
    return scanProcesses(
        [&path](pid_t, const QString &, const QString &target) { return target == path; });
}

PortHolder findPtyMaster(const QString &slavePath)
{
    const QString prefix = QStringLiteral("/dev/pts/");
    if (!slavePath.startsWith(prefix))
        return {};
    const QString index = slavePath.mid(prefix.size());
    // The master is an open /dev/ptmx whose descriptor information names the slave's index.
    return scanProcesses([&index](pid_t pid, const QString &fd, const QString &target) {
        if (target != QLatin1String("/dev/ptmx") && target != QLatin1String("/dev/pts/ptmx"))
            return false;
        QFile info(QStringLiteral("/proc/%1/fdinfo/%2").arg(pid).arg(fd));
        if (!info.open(QIODevice::ReadOnly))
            return false;
        for (const QByteArray &line : info.readAll().split('\n'))
            if (line.startsWith("tty-index:") && line.mid(10).trimmed() == index.toLatin1())
                return true;
        return false;
    });
}

QString permissionHint(const QString &path)
{
    struct stat st {
    };
    if (::stat(QFile::encodeName(path).constData(), &st) != 0)
        return {};
    const group *g = ::getgrgid(st.st_gid);
    if (!g || st.st_gid == 0)
        return QStringLiteral("ask for read and write access to %1").arg(path);
    const QString name = QString::fromLocal8Bit(g->gr_name);
    return QStringLiteral("%1 belongs to the group '%2': join it (sudo adduser $USER %2) and "
                          "log in again")
        .arg(path, name);
}

PortProbe probePort(int n)
{
    PortProbe p;
    p.number = n;
    p.path = resolvePortPath(n);
    if (p.path.isEmpty()) {
        p.error = EINVAL;
        p.reason = QStringLiteral("port numbers begin at 1");
        return p;
    }
    const QFileInfo link(portsFolder() + QStringLiteral("/com%1").arg(n));
    if (link.isSymLink() || link.exists()) {
        p.link = link.absoluteFilePath();
        p.linkTarget = link.symLinkTarget();
        if (p.linkTarget.isEmpty() && link.isSymLink())
            p.linkTarget = QFile::symLinkTarget(p.link);
    }
    const QByteArray dev = QFile::encodeName(p.path);
    struct stat st {
    };
    if (::stat(dev.constData(), &st) != 0) {
        p.error = errno;
        p.reason = osText(p.error);
        if (p.error == ENOENT && !p.link.isEmpty())
            p.hint = QStringLiteral("the link names a device that is not there (is the meter's "
                                    "adapter plugged in?)");
        else if (p.error == ENOENT)
            p.hint = QStringLiteral("to use another device as port %1: ln -s DEVICE %2/com%1")
                         .arg(n)
                         .arg(portsFolder());
        return p;
    }
    if (!S_ISCHR(st.st_mode)) {
        p.error = ENOTTY;
        p.reason = osText(ENOTTY);
        p.hint = QStringLiteral("%1 is not a serial device").arg(p.path);
        return p;
    }
    const int fd = ::open(dev.constData(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        p.error = errno;
        p.reason = osText(p.error);
        if (p.error == EACCES || p.error == EPERM)
            p.hint = permissionHint(p.path);
        else if (p.error == EBUSY)
            p.holder = findPortHolder(p.path);
        return p;
    }
    termios t{};
    if (::tcgetattr(fd, &t) != 0) {
        p.error = errno;
        p.reason = osText(p.error);
        p.hint = QStringLiteral("%1 is not a serial device").arg(p.path);
    } else {
        // A terminal that opened: it may still be held by another program,
        // through the serial layer's lock file or an exclusive open that
        // does not bind the superuser.
        p.holder = findPortHolder(p.path);
        if (p.holder.pid) {
            p.error = EBUSY;
            p.reason = osText(EBUSY);
        }
    }
    ::close(fd);
    return p;
}

QString describePortProblem(const PortProbe &p)
{
    if (p.error == 0)
        return {};
    QString where = p.link.isEmpty()
                        ? QStringLiteral("port %1 (%2)").arg(p.number).arg(p.path)
                        : QStringLiteral("port %1 (%2 -> %3)")
                              .arg(p.number)
                              .arg(p.link, p.linkTarget.isEmpty() ? p.path : p.linkTarget);
    if (p.holder.pid)
        return QStringLiteral("%1 is in use by another client (process %2%3)")
            .arg(where)
            .arg(p.holder.pid)
            .arg(p.holder.name.isEmpty() ? QString() : QStringLiteral(", ") + p.holder.name);
    QString line = where + QStringLiteral(": ") + p.reason;
    if (!p.hint.isEmpty())
        line += QStringLiteral("; ") + p.hint;
    return line;
}

} // namespace norvale::platform
