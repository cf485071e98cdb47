#pragma once
// The "Publishing" page of the Options dialog: the settings of publishing to
// an MQTT broker, a Test button that connects once (away from this thread),
// and where the server's publishing stands. Nothing here opens a box.
#include <QWidget>

class QCheckBox;
class QLabel;
class QLineEdit;
class QPushButton;
class QTimer;

namespace norvale::assistant
{

class PublishPage : public QWidget
{
    Q_OBJECT
public:
    explicit PublishPage(QWidget *parent = nullptr);

    // Fills the fields from the store and shows the server's state.
    void load();
    // Stores the fields when they were changed; false, with the reason on
    // the page, when they cannot be stored (nothing is then written).
    bool apply();
    bool isChanged() const { return m_changed; }

private:
    void test();
    void showState();

    QCheckBox *chkPublish;
    QLineEdit *txtBroker, *txtTopicPrefix, *txtClientId, *txtUsername, *txtPasswordFile, *txtCaFile,
        *txtCertFile, *txtKeyFile;
    QCheckBox *chkHomeAssistant;
    QPushButton *cmdTest;
    QLabel *lblTestResult;
    QLabel *lblPublishState;
    QTimer *m_stateTimer;
    bool m_changed = false;
    bool m_loading = false;
};

} // namespace norvale::assistant
