#pragma once
// The Assistant's dialogs: one shared instance of each form per server
// process, shown modeless by the Assistant's entry points and unloaded by its
// Disconnect. They work on the instrument object of the Assistant that
// opened them and open their boxes through that Assistant's prompts.
#include "assistant/AssistantWindows.h"

#include <QString>
#include <QStringList>
#include <cstdint>
#include <optional>

class QWidget;
namespace norvale::control
{
class kest720Proxy;
}

namespace norvale::assistant
{
class kest721Assistant;
class frmOptions;
class frmDataLog;
class frmDose;
class frmDoseProgress;
class frmAbout;

// Box texts of this system's own choosing (the other texts are in the forms).
inline const QString textLoggingRunning =
    QStringLiteral("A logging run is in progress. Stop it before starting a dose integration.");

void showOptions(kest721Assistant &assistant);
void showProperties(kest721Assistant &assistant);
void showIntegrate(kest721Assistant &assistant);
void showAbout(kest721Assistant &assistant);

// Unloads the forms in the order of the Assistant's Disconnect: about,
// logging properties, dose setup, dose progress (ending its measurement
// without a result), options.
void unloadAll();
// Ends a running integration at once: integrate mode is ended on the meter
// while its port is still open; no result is reported.
void endIntegration();
// The Assistant is going away: an integration on its instrument ends now.
void assistantGone(kest721Assistant *assistant);
bool integrationRunning();

// The shared instances, null when not loaded (for the server's tests).
frmOptions *options();
frmDataLog *dataLog();
frmDose *dose();
frmDoseProgress *doseProgress();
frmAbout *about();

// The measurement runner behind Start: shows the progress window and runs
// the measurement (seconds absent: until Stop); the result goes to the
// Assistant that holds the connection as DoseRate. Returns at once; the
// progress window is unloaded when the measurement is over.
void RunDoseIntegration(kest721Assistant &assistant, std::optional<int32_t> seconds = {});

// The user's logging interval and run length, also while an integration
// borrows the clock (it puts them back when it ends).
int32_t loggingInterval();
int32_t loggingDuration();
// Stores them: into the clock, or, during an integration, as the values it
// puts back. Throws Overflow as the clock does.
void setLoggingTimes(int32_t intervalSeconds, int32_t lengthSeconds);
// Writes the Assistant's settings to the store now, with the user's logging
// values even during an integration. Returns the names not written.
QStringList saveSettingsNow();

namespace detail
{
// The integration borrows the clock: the user's logging interval and length
// are kept aside until it gives the clock back.
void borrowClock();
void returnClock();
// A form that unloads itself is no longer the shared instance.
void forget(const QWidget *form);
} // namespace detail

// Gives every focusable control of `form` an accessible name from its label
// (buddy) or its own caption, where it has none yet.
void nameControls(QWidget *form);

} // namespace norvale::assistant
