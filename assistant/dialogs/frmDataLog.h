#pragma once
// The logging properties: the sampling interval and run length of the
// Assistant's logging runs, and its computer-side alarm point.
#include "assistant/dialogs/AssistantForm.h"

#include <memory>

namespace Ui
{
class frmDataLog;
}

namespace norvale::assistant
{

class frmDataLog : public AssistantForm
{
    Q_OBJECT
public:
    explicit frmDataLog(QWidget *parent = nullptr);
    ~frmDataLog() override;

protected:
    void activate() override;
    void reject() override;

private:
    void cmdOK_Click();
    void cmd720Alarm_Click();

    std::unique_ptr<Ui::frmDataLog> ui;
};

} // namespace norvale::assistant
