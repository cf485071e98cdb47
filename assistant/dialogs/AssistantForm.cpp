#include "assistant/dialogs/AssistantForm.h"

#include "assistant/dialogs/Dialogs.h"
#include "assistant/dialogs/Prompts.h"
#include "control/dbus/kest720Proxy.h"
#include "assistant/kest721Assistant.h"

#include <QAbstractButton>
#include <QComboBox>
#include <QEvent>
#include <QLineEdit>
#include <utility>

namespace norvale::assistant
{

namespace
{
int g_formCodeDepth = 0;
QList<QPointer<QObject>> g_unloaded;
} // namespace

FormCode::FormCode()
{
    ++g_formCodeDepth;
}

FormCode::~FormCode()
{
    if (--g_formCodeDepth > 0)
        return;
    const auto unloaded = std::exchange(g_unloaded, {});
    for (const QPointer<QObject> &form : unloaded)
        if (form)
            form->deleteLater();
}

AssistantForm::AssistantForm(QWidget *parent) : QDialog(parent)
{
    // Each form is a window of its own, not owned by any other window.
    setAttribute(Qt::WA_DeleteOnClose, false);
}

void AssistantForm::setAssistant(kest721Assistant *assistant)
{
    m_assistant = assistant;
}

kest721Assistant *AssistantForm::assistant() const
{
    return m_assistant.data();
}

void AssistantForm::showForm()
{
    FormCode inFormCode;
    show();
    raise();
    activateWindow();
    // Showing a form activates it: it fills itself now, not when the window
    // system gets round to it.
    m_wasDeactivated = false;
    activate();
}

void AssistantForm::unload()
{
    norvale::assistant::detail::forget(this);
    hide();
    if (g_formCodeDepth > 0)
        g_unloaded << this;
    else
        deleteLater();
}

norvale::control::kest720Proxy *AssistantForm::instrument() const
{
    if (!m_assistant || !m_assistant->hasInstrument())
        return nullptr;
    return &m_assistant->Control();
}

bool AssistantForm::instrumentReady() const
{
    norvale::control::kest720Proxy *k = instrument();
    if (!k)
        return false;
    try {
        return k->Initialized();
    } catch (const std::exception &) {
        return false;
    }
}

QString AssistantForm::ask(const QString &text, const QStringList &buttons)
{
    // The form's own box takes the focus from it and gives it back: that is
    // no activation from another window.
    ++m_boxes;
    QPointer<AssistantForm> self(this);
    QString answer = defaultButton(buttons);
    if (m_assistant)
        answer = m_assistant->ask(applicationTitle, text, buttons);
    if (self)
        --m_boxes;
    return answer;
}

void AssistantForm::trackChanges(const QList<QWidget *> &controls)
{
    for (QWidget *w : controls) {
        auto mark = [this, w] { m_changed.insert(w); };
        if (auto *c = qobject_cast<QComboBox *>(w))
            connect(c, &QComboBox::currentIndexChanged, this, mark);
        else if (auto *e = qobject_cast<QLineEdit *>(w))
            connect(e, &QLineEdit::textChanged, this, mark);
        else if (auto *b = qobject_cast<QAbstractButton *>(w))
            connect(b, &QAbstractButton::toggled, this, mark);
    }
}

bool AssistantForm::event(QEvent *e)
{
    FormCode inFormCode;
    if (e->type() == QEvent::WindowDeactivate && m_boxes == 0)
        m_wasDeactivated = true;
    if (e->type() == QEvent::WindowActivate && m_wasDeactivated && m_boxes == 0) {
        m_wasDeactivated = false;
        activate();
    }
    return QDialog::event(e);
}

} // namespace norvale::assistant
