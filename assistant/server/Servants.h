#pragma once
// The adaptors between the Assistant's objects and the bus: the served
// classes kest721Assistant and MsgBox, and the two objects that the program
// publishes itself, the message boxes at /prompts and each Assistant's
// display at <path>/Display.
#include "platform/automation/ExportedObject.h"
#include "platform/automation/Server.h"

#include <QDBusServiceWatcher>
#include <QPointer>
#include <memory>

namespace norvale::control
{
class kest720Proxy;
}

namespace norvale::ui
{
class MsgBox;
}

namespace norvale::assistant
{
class kest721Assistant;
class PromptBoard;
class AlarmSound;
class AssistantWindows;
class Journal;
class PublishFeed;
} // namespace norvale::assistant

namespace norvale::assistant
{

const norvale::platform::TypeLibrary &assistantTypeLibrary();
const norvale::platform::TypeLibrary &msgBoxTypeLibrary();
const norvale::platform::TypeLibrary &promptsTypeLibrary();
const norvale::platform::TypeLibrary &displayTypeLibrary();

// What every Assistant of the program shares.
struct AssistantContext {
    norvale::assistant::PromptBoard *prompts = nullptr;
    norvale::assistant::AlarmSound *sound = nullptr;
    norvale::assistant::Journal *journal = nullptr;
    norvale::assistant::PublishFeed *feed = nullptr;
    norvale::assistant::AssistantWindows *windows = nullptr;
    QString helpFile;
    // The connection on which the Assistant is a client of kest720.
    QDBusConnection clientConnection = QDBusConnection::sessionBus();
    // When set, the display window is saved to this PNG file the first time
    // an alarm goes off (for demonstrations and reviews).
    QString alarmSnapshot;
};

class AssistantServant : public norvale::platform::Servant
{
public:
    AssistantServant(norvale::platform::ExportedObject &object, const AssistantContext &context);
    ~AssistantServant() override;
    const norvale::platform::MemberTable &members() const override { return m_members; }
    void shutdown(std::function<void()> done) override;

private:
    void publishDisplay();

    norvale::platform::ExportedObject &m_object;
    std::unique_ptr<norvale::assistant::kest721Assistant> m_assistant;
    QPointer<norvale::platform::ExportedObject> m_displayObject;
    norvale::platform::MemberTable m_members;
};

class MsgBoxServant : public norvale::platform::Servant
{
public:
    explicit MsgBoxServant(norvale::platform::ExportedObject &object);
    ~MsgBoxServant() override;
    const norvale::platform::MemberTable &members() const override { return m_members; }

private:
    std::unique_ptr<norvale::ui::MsgBox> m_box;
    norvale::platform::MemberTable m_members;
};

// Publishes a PromptBoard at /prompts of `connection`, and answers the boxes
// of a client that leaves the bus with their defaults.
class PromptsPublisher : public QObject
{
    Q_OBJECT
public:
    PromptsPublisher(QDBusConnection connection, norvale::assistant::PromptBoard &board,
                     QObject *parent = nullptr);
    ~PromptsPublisher() override;
    bool isRegistered() const;

private:
    norvale::assistant::PromptBoard &m_board;
    QDBusServiceWatcher m_watcher;
    std::unique_ptr<norvale::platform::ExportedObject> m_object;
};

} // namespace norvale::assistant
