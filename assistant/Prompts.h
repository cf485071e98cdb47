#pragma once
// The Assistant's modal message boxes go through one sink. A box keeps the
// call that opened it waiting until it is answered: by a person at the
// desktop, or by a client on the bus (hosts that run unattended, tests).
#include <QObject>
#include <QPointer>
#include <QString>
#include <QStringList>
#include <functional>
#include <map>

class QMessageBox;

namespace norvale
{

inline const QString buttonOK = QStringLiteral("OK");
inline const QString buttonYes = QStringLiteral("Yes");
inline const QString buttonNo = QStringLiteral("No");
inline const QString buttonCancel = QStringLiteral("Cancel");

class Prompter
{
public:
    virtual ~Prompter() = default;
    // Shows a modal box with these buttons (left to right) and returns the
    // text of the one that closed it. The event loop runs meanwhile.
    // `waiter` is the bus name of the client whose call is waiting; when it
    // leaves the bus the box is answered with its default. `owner` names the
    // object that opened the box, whose end answers it the same way.
    virtual QString ask(const QString &title, const QString &text, const QStringList &buttons,
                        const QString &waiter = {}, const QString &owner = {}) = 0;
};

// Cancel where the box has it, else OK, else the last button.
QString defaultButton(const QStringList &buttons);

// The boxes of one program: each is a real dialog and is also announced
// (shown, closed) to whoever listens, and answerable by its id.
class PromptBoard : public QObject, public Prompter
{
    Q_OBJECT
public:
    struct Box {
        quint32 id = 0;
        QString title;
        QString text;
        QStringList buttons;
        QString waiter;
        QString owner;
    };

    // With `withDialogs` false the boxes exist only on the board (no window).
    explicit PromptBoard(bool withDialogs = true, QObject *parent = nullptr);
    ~PromptBoard() override;

    QString ask(const QString &title, const QString &text, const QStringList &buttons,
                const QString &waiter = {}, const QString &owner = {}) override;

    // Answers an open box; false when there is no such box or button.
    bool answer(quint32 id, const QString &button);
    // Answers every open box of `waiter` (or all, when empty) with its default.
    void answerDefaults(const QString &waiter = {});
    // The same for the boxes that `owner` opened.
    void answerDefaultsOf(const QString &owner);
    QList<Box> pending() const;

signals:
    void shown(quint32 id, const QString &title, const QString &text, const QStringList &buttons);
    void closed(quint32 id, const QString &button);

private:
    struct Open {
        Box box;
        QString answer;
        bool answered = false;
        QPointer<QMessageBox> dialog;
    };
    bool m_withDialogs;
    quint32 m_next = 1;
    std::map<quint32, Open> m_open;
};

} // namespace norvale
