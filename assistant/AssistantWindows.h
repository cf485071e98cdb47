#pragma once
// What the Assistant shows, seen from its windowless core: the virtual
// instrument, the status windows and the dialogs. The server's main wires in
// the desktop's windows; tests of the core wire in a recorder. The core
// decides what to show and when; only the implementation opens windows.
#include "assistant/modAlarm.h"

#include <QObject>
#include <QPoint>
#include <QString>
#include <cstdint>
#include <memory>
#include <optional>

namespace norvale::assistant
{

class kest721Assistant;

// The box of a logging run asked for while the dialogs integrate a dose.
inline const QString textIntegrationRunning =
    QStringLiteral("A dose integration is in progress. Stop it before starting a logging run.");
// The box of a logging run asked for while another Assistant of the server
// logs (%1: that run's meter serial number).
inline const QString textOtherRunGoing =
    QStringLiteral("Another logging run is going on in this server (meter %1). Stop it before "
                   "starting one here: the Assistant logs one meter at a time.");

// The virtual instrument as the Assistant drives it: readings, units, range
// and the alarm state it computed; Acknowledge when the person presses the
// button.
class InstrumentDisplay : public QObject
{
    Q_OBJECT
public:
    using QObject::QObject;
    virtual void Reset() = 0;
    virtual void Show() = 0;
    virtual void Hide() = 0;
    virtual void ShowMessage(const QString &message) = 0;
    virtual void setValue(double value) = 0;
    virtual void setUnits(const QString &units) = 0;
    virtual void setScaleNumber(int16_t scale) = 0;
    virtual void setAlarmState(modAlarm::enumAlarmState state) = 0;
    virtual void setAlarmValue(const QString &text) = 0;
    virtual void setUseAcknowledge(bool use) = 0;
    // OLE colours, 0x00BBGGRR.
    virtual void setColors(uint32_t ackNormal, uint32_t unAckAlarm, uint32_t ackAlarm,
                           uint32_t unAckNormal) = 0;
    // Where the window opens: where the person left it (its frame's top-left
    // corner), else in a corner where it hides nothing of the host's.
    virtual void placeAt(std::optional<QPoint> topLeft) { (void)topLeft; }
    // Where it is, once it has been on the screen.
    virtual std::optional<QPoint> shownPosition() const { return std::nullopt; }

signals:
    void Acknowledge();
};

// A status window ("Connecting to unit..."), closed when it is destroyed.
class StatusWindow
{
public:
    virtual ~StatusWindow() = default;
    virtual void Message(const QString &text, const QString &title) = 0;
    virtual void Hide() = 0;
};

class AssistantWindows
{
public:
    virtual ~AssistantWindows() = default;
    virtual std::unique_ptr<InstrumentDisplay> createDisplay() = 0;
    virtual std::unique_ptr<StatusWindow> createStatusWindow() = 0;

    // The dialogs of the Assistant's entry points.
    virtual void showProperties(kest721Assistant &assistant) = 0;
    virtual void showOptions(kest721Assistant &assistant) = 0;
    virtual void showIntegrate(kest721Assistant &assistant) = 0;
    virtual void showAbout(kest721Assistant &assistant) = 0;
    // Unloads every dialog, as Disconnect does.
    virtual void unloadDialogs() = 0;

    // The dose integration runs in the dialogs; the meter integrates or
    // logs, not both at once.
    virtual bool integrationRunning() = 0;
    virtual void endIntegration() = 0;
    // The Assistant is going away: whatever of its work the windows run ends.
    virtual void assistantGone(kest721Assistant *assistant) = 0;
};

} // namespace norvale::assistant
