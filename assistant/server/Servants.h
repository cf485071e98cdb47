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

namespace norvale
{
class kest721Assistant;
class MsgBox;
class PromptBoard;
class AlarmSound;
class AssistantWindows;
class Journal;
class PublishFeed;
} // namespace norvale

namespace kest721xl
{

const norvale::automation::TypeLibrary &assistantTypeLibrary();
const norvale::automation::TypeLibrary &msgBoxTypeLibrary();
const norvale::automation::TypeLibrary &promptsTypeLibrary();
const norvale::automation::TypeLibrary &displayTypeLibrary();

// What every Assistant of the program shares.
struct AssistantContext {
    norvale::PromptBoard *prompts = nullptr;
    norvale::AlarmSound *sound = nullptr;
    norvale::Journal *journal = nullptr;
    norvale::PublishFeed *feed = nullptr;
    norvale::AssistantWindows *windows = nullptr;
    QString helpFile;
    // The connection on which the Assistant is a client of kest720.
    QDBusConnection clientConnection = QDBusConnection::sessionBus();
    // When set, the display window is saved to this PNG file the first time
    // an alarm goes off (for demonstrations and reviews).
    QString alarmSnapshot;
};

class AssistantServant : public norvale::automation::Servant
{
public:
    AssistantServant(norvale::automation::ExportedObject &object, const AssistantContext &context);
    ~AssistantServant() override;
    const norvale::automation::MemberTable &members() const override { return m_members; }
    void shutdown(std::function<void()> done) override;

private:
    void publishDisplay();

    norvale::automation::ExportedObject &m_object;
    std::unique_ptr<norvale::kest721Assistant> m_assistant;
    QPointer<norvale::automation::ExportedObject> m_displayObject;
    norvale::automation::MemberTable m_members;
};

class MsgBoxServant : public norvale::automation::Servant
{
public:
    explicit MsgBoxServant(norvale::automation::ExportedObject &object);
    ~MsgBoxServant() override;
    const norvale::automation::MemberTable &members() const override { return m_members; }

private:
    std::unique_ptr<norvale::MsgBox> m_box;
    norvale::automation::MemberTable m_members;
};

// Publishes a PromptBoard at /prompts of `connection`, and answers the boxes
// of a client that leaves the bus with their defaults.
class PromptsPublisher : public QObject
{
    Q_OBJECT
public:
    PromptsPublisher(QDBusConnection connection, norvale::PromptBoard &board,
                     QObject *parent = nullptr);
    ~PromptsPublisher() override;
    bool isRegistered() const;

private:
    norvale::PromptBoard &m_board;
    QDBusServiceWatcher m_watcher;
    std::unique_ptr<norvale::automation::ExportedObject> m_object;
};

} // namespace kest721xl
