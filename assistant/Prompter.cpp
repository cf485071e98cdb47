#include "assistant/Prompter.h"

namespace norvale::assistant
{

QString defaultButton(const QStringList &buttons)
{
    if (buttons.contains(buttonCancel))
        return buttonCancel;
    if (buttons.contains(buttonOK) || buttons.isEmpty())
        return buttonOK;
    return buttons.last();
}

} // namespace norvale::assistant
