#pragma once
// Which version of the Assistant runs, and the serial number of the meter.
#include "assistant/dialogs/AssistantForm.h"

#include <QPixmap>
#include <memory>

namespace Ui
{
class frmAbout;
}

namespace norvale::assistant
{

class frmAbout : public AssistantForm
{
    Q_OBJECT
public:
    explicit frmAbout(QWidget *parent = nullptr);
    ~frmAbout() override;

protected:
    void activate() override;
    void reject() override;

private:
    std::unique_ptr<Ui::frmAbout> ui;
};

// The Assistant's logo: a meter's dial in the house colours.
QPixmap assistantLogo(int size);

} // namespace norvale::assistant
