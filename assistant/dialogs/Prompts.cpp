#include "assistant/dialogs/Prompts.h"

#include <QAbstractButton>
#include <QEventLoop>
#include <QLoggingCategory>
#include <QMessageBox>
#include <QPushButton>

Q_LOGGING_CATEGORY(lcPrompts, "norvale.assistant.prompts")

namespace norvale::assistant
{

namespace
{
QMessageBox::StandardButton standardButton(const QString &text)
{
    if (text == buttonYes)
        return QMessageBox::Yes;
    if (text == buttonNo)
        return QMessageBox::No;
    if (text == buttonCancel)
        return QMessageBox::Cancel;
    return QMessageBox::Ok;
}
} // namespace

PromptBoard::PromptBoard(bool withDialogs, QObject *parent)
    : QObject(parent), m_withDialogs(withDialogs)
{
}

PromptBoard::~PromptBoard()
{
    // A box still open at the end is answered so that its caller returns.
    answerDefaults();
}

QString PromptBoard::ask(const QString &title, const QString &text, const QStringList &buttons,
                         const QString &waiter, const QString &owner)
{
    const QStringList shownButtons = buttons.isEmpty() ? QStringList{buttonOK} : buttons;
    const quint32 id = m_next++;
    Open &open = m_open[id];
    open.box = Box{id, title, text, shownButtons, waiter, owner};
    qCInfo(lcPrompts).noquote() << "box" << id << title << ":" << text;

    QEventLoop loop;
    if (m_withDialogs) {
        auto *box = new QMessageBox(QMessageBox::NoIcon, title, text, QMessageBox::NoButton);
        box->setAttribute(Qt::WA_DeleteOnClose);
        box->setWindowModality(Qt::ApplicationModal);
        box->setAccessibleName(title);
        for (const QString &b : shownButtons)
            box->addButton(standardButton(b))->setAccessibleName(b);
        box->setDefaultButton(standardButton(shownButtons.first()));
        box->setEscapeButton(box->button(standardButton(defaultButton(shownButtons))));
        connect(box, &QMessageBox::buttonClicked, this, [this, id, box](QAbstractButton *b) {
            const QMessageBox::StandardButton sb = box->standardButton(b);
            const QString text = sb == QMessageBox::Yes      ? buttonYes
                                 : sb == QMessageBox::No     ? buttonNo
                                 : sb == QMessageBox::Cancel ? buttonCancel
                                                             : buttonOK;
            answer(id, text);
        });
        open.dialog = box;
        box->open();
    }
    connect(this, &PromptBoard::closed, &loop, [&loop, id](quint32 closedId, const QString &) {
        if (closedId == id)
            loop.quit();
    });
    emit shown(id, title, text, shownButtons);
    // The announcement may have been answered at once (a direct connection).
    if (!m_open[id].answered)
        loop.exec();
    const QString result = m_open[id].answer;
    m_open.erase(id);
    return result;
}

bool PromptBoard::answer(quint32 id, const QString &button)
{
    auto it = m_open.find(id);
    if (it == m_open.end() || it->second.answered || !it->second.box.buttons.contains(button))
        return false;
    it->second.answered = true;
    it->second.answer = button;
    if (QMessageBox *box = it->second.dialog) {
        box->disconnect(this);
        box->close();
    }
    qCInfo(lcPrompts).noquote() << "box" << id << "answered" << button;
    emit closed(id, button);
    return true;
}

void PromptBoard::answerDefaults(const QString &waiter)
{
    QList<quint32> ids;
    for (const auto &[id, open] : m_open)
        if (!open.answered && (waiter.isEmpty() || open.box.waiter == waiter))
            ids << id;
    for (quint32 id : ids)
        answer(id, defaultButton(m_open[id].box.buttons));
}

void PromptBoard::answerDefaultsOf(const QString &owner)
{
    QList<quint32> ids;
    for (const auto &[id, open] : m_open)
        if (!open.answered && open.box.owner == owner)
            ids << id;
    for (quint32 id : ids)
        answer(id, defaultButton(m_open[id].box.buttons));
}

QList<PromptBoard::Box> PromptBoard::pending() const
{
    QList<Box> boxes;
    for (const auto &[id, open] : m_open)
        if (!open.answered)
            boxes << open.box;
    return boxes;
}

} // namespace norvale::assistant
