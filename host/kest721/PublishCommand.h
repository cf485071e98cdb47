#pragma once
// kest721 publish set|show|off|test and kest721 watch: publishing to an MQTT
// broker from the command line. Each returns the program's exit status.
#include <QStringList>

namespace norvale::host
{

// arguments: everything after "publish".
int runPublishCommand(const QStringList &arguments);
// arguments: everything after "watch".
int runWatchCommand(const QStringList &arguments);
// One line for `kest721 status`: where publishing stands.
QString publishingStatusLine();

} // namespace norvale::host
