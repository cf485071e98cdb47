#pragma once
// The Assistant's modal message boxes go through one sink. A box keeps the
// call that opened it waiting until it is answered: by a person at the
// desktop, or by a client on the bus (hosts that run unattended, tests).
#include <QString>
#include <QStringList>

namespace norvale::assistant
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

} // namespace norvale::assistant
