#pragma once
// What the Assistant's forms share: the Assistant that opened them (its
// instrument object and its boxes), activation as each form refills itself,
// and the changed flags of the input controls.
#include <QDialog>
#include <QPointer>
#include <QSet>
#include <QString>
#include <QStringList>

namespace norvale::control
{
class kest720Proxy;
}

namespace norvale::assistant
{
class kest721Assistant;

// Marks form code on the stack. The instrument's calls run the event loop,
// so a form may be unloaded (by a host's Disconnect, say) while its own code
// waits in a call; it is deleted only once the outermost form code returns.
class FormCode
{
public:
    FormCode();
    ~FormCode();
    FormCode(const FormCode &) = delete;
    FormCode &operator=(const FormCode &) = delete;
};

class AssistantForm : public QDialog
{
    Q_OBJECT
public:
    explicit AssistantForm(QWidget *parent = nullptr);

    void setAssistant(kest721Assistant *assistant);
    kest721Assistant *assistant() const;
    // Shows the form modeless, brings it to the front and activates it.
    void showForm();
    // Hides the form and deletes it once control is back in the event loop.
    void unload();
    bool isChanged(const QWidget *control) const { return m_changed.contains(control); }

protected:
    // Refills the form; runs at each activation that comes from another window.
    virtual void activate() {}
    // The instrument object, or null when there is none (or its server has gone).
    norvale::control::kest720Proxy *instrument() const;
    // True when there is an instrument object and it reports Initialized.
    bool instrumentReady() const;
    // A modal box through the Assistant's prompts, titled as its own boxes.
    QString ask(const QString &text, const QStringList &buttons = {QStringLiteral("OK")});
    // Every change of these controls' content or selection sets their flag.
    void trackChanges(const QList<QWidget *> &controls);
    void clearChanged(QWidget *control) { m_changed.remove(control); }
    void markChanged(QWidget *control) { m_changed.insert(control); }

    bool event(QEvent *e) override;

private:
    QPointer<kest721Assistant> m_assistant;
    QSet<const QWidget *> m_changed;
    int m_boxes = 0;
    bool m_wasDeactivated = false;
};

} // namespace norvale::assistant
