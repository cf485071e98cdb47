#pragma once
// The libmosquitto side of publishing: a client set up from the settings
// (TLS, user name and the password from its file, a last will) and the one-off
// connection test that says in a sentence what happened.
#include "assistant/publish/Payloads.h"
#include "assistant/publish/PublishSettings.h"

#include <QString>
#include <memory>

struct mosquitto;

namespace norvale::assistant
{

// libmosquitto's global set-up, once per process.
void initLibrary();

struct ClientDeleter {
    void operator()(mosquitto *m) const;
};
using ClientHandle = std::unique_ptr<mosquitto, ClientDeleter>;

// A client for the broker of `s`, not yet connected; null with the reason
// when the settings cannot be used. `userdata` reaches every callback.
ClientHandle makeClient(const Settings &s, const QString &clientId, const Message *will,
                        void *userdata, QString *why);

// The sentence for a failed connection: the result of a libmosquitto call
// (with errno for a system error), the broker's CONNACK code, or the last
// error text the library logged (the TLS library's reason).
QString connectFailure(const BrokerUrl &url, int mosqResult, int errnoValue,
                       const QString &libraryLog);
QString refusal(const BrokerUrl &url, int connackCode);

enum class ProbeOutcome { Connected, Refused, NotResolved, NotTrusted, TimedOut, Failed, Invalid };
struct ProbeResult {
    ProbeOutcome outcome = ProbeOutcome::Failed;
    QString sentence;
};
// Connects once to the broker of `s` and disconnects: what happened, in a
// sentence. Blocks the calling thread for at most timeoutMs.
ProbeResult probe(const Settings &s, int timeoutMs);

} // namespace norvale::assistant
