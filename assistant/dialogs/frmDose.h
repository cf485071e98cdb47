#pragma once
// The setup of an integrated-dose measurement: timed or until Stop, and how long.
#include "assistant/dialogs/AssistantForm.h"

#include <memory>

namespace Ui
{
class frmDose;
}

namespace norvale::assistant
{

class frmDose : public AssistantForm
{
    Q_OBJECT
public:
    explicit frmDose(QWidget *parent = nullptr);
    ~frmDose() override;

protected:
    void activate() override;
    void reject() override;

private:
    void cmdStart_Click();
    void cmdHelp_Click();

    std::unique_ptr<Ui::frmDose> ui;
};

} // namespace norvale::assistant
