#pragma once
// The desktop's side of the Assistant's message boxes: each box a real
// dialog, also announced on the bus and answerable there.
#include "assistant/Prompter.h"

#include <QObject>
#include <QPointer>
#include <QString>
#include <QStringList>
#include <functional>
#include <map>

class QMessageBox;

namespace norvale::assistant
{

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

} // namespace norvale::assistant
