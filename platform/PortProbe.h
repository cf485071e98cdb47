#pragma once
// Why a serial port cannot be used, in the operating system's words, for the
// command-line tools: the instrument server reports only that the port is not
// open, and the cause (a missing device, a file that is no terminal, a
// permission, another program holding it) would otherwise stay in its log.
#include <QString>
#include <sys/types.h>

namespace norvale::platform
{

struct PortHolder {
    pid_t pid = 0; // 0: nobody known
    QString name;  // the program's name, as /proc gives it
};

struct PortProbe {
    int number = 0;
    QString link;       // <ports folder>/com<n>, empty when there is no such entry
    QString linkTarget; // what the link names, as written in it
    QString path;       // the device the port resolves to
    int error = 0;      // errno of the first check that failed; 0 when the port looks usable
    QString reason;     // the operating system's text for `error`
    QString hint;       // what the user can do about it, or empty
    PortHolder holder;  // another process that has the device open or locked
};

// Checks port n the way the serial layer opens it: the link, the device,
// open() and tcgetattr(), then a lock file or another process holding it.
PortProbe probePort(int n);

// One line: "port 9 (/dev/ttyS8): No such file or directory", with the link
// when there is one and the holder when the port is busy. Empty when the
// probe found nothing wrong.
QString describePortProblem(const PortProbe &p);

// The process that keeps `path` open (other than this one), found through
// /proc, or through the lock file that the serial layer leaves in the lock folder.
PortHolder findPortHolder(const QString &path);

// The process that holds the master side of the pseudo-terminal /dev/pts/<n>.
PortHolder findPtyMaster(const QString &slavePath);

// The hint for a permission failure on `path`: the group that owns the
// device, e.g. "dialout", and how to join it.
QString permissionHint(const QString &path);

} // namespace norvale::platform
