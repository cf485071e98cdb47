#pragma once
// Where publishing stands, as the server last wrote it: a small JSON file
// beside the journal, read by `kest721 publish show`, `kest721 status` and the
// Options dialog. It never holds a password.
#include <QString>
#include <optional>

namespace norvale::assistant
{

struct Status {
    QString state;      // "off", "not-configured", "connecting", "connected", "waiting"
    QString reason;     // a sentence: why not connected, or what the last failure was
    QString broker;     // the URL in use (it never holds a password)
    qint64 since = 0;   // ms since the epoch: when the state began
    qint64 backlog = 0; // rows kept in the journal and not yet acknowledged by the broker
    qint64 sent = 0;    // rows acknowledged since the server started
    qint64 pid = 0;     // the server that wrote it
};

QString statusPath();
bool writeStatus(const Status &s);
std::optional<Status> readStatus();
// One line for a person: "connected to mqtt://...", "waiting: <reason>", with
// the backlog; says so when the server that wrote it is no longer running.
QString describe(const std::optional<Status> &s);

} // namespace norvale::assistant
