#include "assistant/dialogs/PublishPage.h"

#include "assistant/publish/MqttClient.h"
#include "assistant/publish/PublishSettings.h"
#include "assistant/publish/PublishStatus.h"

#include <QApplication>
#include <QCheckBox>
#include <QFormLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPointer>
#include <QPushButton>
#include <QThread>
#include <QTimer>
#include <QVBoxLayout>

namespace norvale::assistant
{

namespace
{
namespace publish = norvale::assistant;
}

PublishPage::PublishPage(QWidget *parent) : QWidget(parent)
{
    setObjectName(QStringLiteral("tabPublishing"));
    auto *layout = new QVBoxLayout(this);
    chkPublish = new QCheckBox(QStringLiteral("Publish readings to an MQTT broker"), this);
    chkPublish->setObjectName(QStringLiteral("chkPublish"));
    layout->addWidget(chkPublish);
    auto *form = new QFormLayout;
    layout->addLayout(form);
    auto field = [&](const char *name, const QString &label, const QString &placeholder = {}) {
        auto *edit = new QLineEdit(this);
        edit->setObjectName(QString::fromLatin1(name));
        edit->setPlaceholderText(placeholder);
        auto *l = new QLabel(label, this);
        l->setBuddy(edit);
        form->addRow(l, edit);
        connect(edit, &QLineEdit::textChanged, this,
                [this] { m_changed = m_changed || !m_loading; });
        return edit;
    };
    txtBroker = field("txtBroker", QStringLiteral("Broker URL:"),
                      QStringLiteral("mqtt://host:1883 or mqtts://host:8883"));
    txtTopicPrefix = field("txtTopicPrefix", QStringLiteral("Topic prefix:"),
                           QString::fromLatin1(norvale::assistant::DefaultTopicPrefix));
    txtClientId =
        field("txtClientId", QStringLiteral("Client id:"), norvale::assistant::defaultClientId());
    txtUsername = field("txtUsername", QStringLiteral("User name:"));
    txtPasswordFile = field("txtPasswordFile", QStringLiteral("Password file:"),
                            QStringLiteral("a file readable by you alone"));
    txtCaFile = field("txtCaFile", QStringLiteral("CA certificate file:"),
                      QStringLiteral("the system's authorities"));
    txtCertFile = field("txtCertFile", QStringLiteral("Client certificate file:"));
    txtKeyFile = field("txtKeyFile", QStringLiteral("Client key file:"));
    chkHomeAssistant = new QCheckBox(QStringLiteral("Home Assistant discovery"), this);
    chkHomeAssistant->setObjectName(QStringLiteral("chkHomeAssistant"));
    layout->addWidget(chkHomeAssistant);
    for (QCheckBox *c : {chkPublish, chkHomeAssistant})
        connect(c, &QCheckBox::toggled, this, [this] { m_changed = m_changed || !m_loading; });

    auto *testRow = new QHBoxLayout;
    cmdTest = new QPushButton(QStringLiteral("Test"), this);
    cmdTest->setObjectName(QStringLiteral("cmdTest"));
    testRow->addWidget(cmdTest);
    lblTestResult = new QLabel(this);
    lblTestResult->setObjectName(QStringLiteral("lblTestResult"));
    lblTestResult->setWordWrap(true);
    lblTestResult->setAccessibleName(QStringLiteral("Test result"));
    testRow->addWidget(lblTestResult, 1);
    layout->addLayout(testRow);
    lblPublishState = new QLabel(this);
    lblPublishState->setObjectName(QStringLiteral("lblPublishState"));
    lblPublishState->setWordWrap(true);
    lblPublishState->setAccessibleName(QStringLiteral("Publishing state"));
    layout->addWidget(lblPublishState);
    layout->addStretch(1);
    connect(cmdTest, &QPushButton::clicked, this, &PublishPage::test);
    // The server's state changes while the page is open.
    m_stateTimer = new QTimer(this);
    connect(m_stateTimer, &QTimer::timeout, this, &PublishPage::showState);
    m_stateTimer->start(2000);
}

void PublishPage::load()
{
    m_loading = true;
    const norvale::assistant::Settings s = norvale::assistant::load();
    chkPublish->setChecked(s.enabled);
    txtBroker->setText(s.broker);
    txtTopicPrefix->setText(s.topicPrefix);
    txtClientId->setText(s.clientId);
    txtUsername->setText(s.username);
    txtPasswordFile->setText(s.passwordFile);
    txtCaFile->setText(s.caFile);
    txtCertFile->setText(s.certFile);
    txtKeyFile->setText(s.keyFile);
    chkHomeAssistant->setChecked(s.homeAssistant);
    m_loading = false;
    m_changed = false;
    lblTestResult->clear();
    showState();
}

namespace
{
norvale::assistant::Settings fieldsOf(bool enabled, const QList<QLineEdit *> &e, bool homeAssistant)
{
    norvale::assistant::Settings s;
    s.enabled = enabled;
    s.broker = e[0]->text().trimmed();
    s.topicPrefix = e[1]->text().trimmed().isEmpty()
                        ? QString::fromLatin1(norvale::assistant::DefaultTopicPrefix)
                        : e[1]->text().trimmed();
    s.clientId = e[2]->text().trimmed();
    s.username = e[3]->text().trimmed();
    s.passwordFile = e[4]->text().trimmed();
    s.caFile = e[5]->text().trimmed();
    s.certFile = e[6]->text().trimmed();
    s.keyFile = e[7]->text().trimmed();
    s.homeAssistant = homeAssistant;
    return s;
}
} // namespace

bool PublishPage::apply()
{
    if (!m_changed)
        return true;
    const norvale::assistant::Settings s =
        fieldsOf(chkPublish->isChecked(),
                 {txtBroker, txtTopicPrefix, txtClientId, txtUsername, txtPasswordFile, txtCaFile,
                  txtCertFile, txtKeyFile},
                 chkHomeAssistant->isChecked());
    QString why;
    // A URL with a password is never stored, not even while publishing is off.
    if (!s.broker.isEmpty() && !norvale::assistant::parseBrokerUrl(s.broker, &why)) {
        lblTestResult->setText(why);
        return false;
    }
    if (s.enabled)
        why = norvale::assistant::check(s);
    if (!why.isEmpty() || !norvale::assistant::save(s, &why)) {
        lblTestResult->setText(why);
        return false;
    }
    m_changed = false;
    return true;
}

void PublishPage::test()
{
    const norvale::assistant::Settings s =
        fieldsOf(true,
                 {txtBroker, txtTopicPrefix, txtClientId, txtUsername, txtPasswordFile, txtCaFile,
                  txtCertFile, txtKeyFile},
                 chkHomeAssistant->isChecked());
    cmdTest->setEnabled(false);
    lblTestResult->setText(QStringLiteral("Connecting..."));
    // The connection is tried away from this thread: the dialog and the
    // Assistant's events go on meanwhile.
    QPointer<PublishPage> self(this);
    QThread *worker = QThread::create([self, s] {
        const norvale::assistant::ProbeResult r = norvale::assistant::probe(s, 5000);
        QMetaObject::invokeMethod(
            qApp,
            [self, r] {
                if (!self)
                    return;
                self->lblTestResult->setText(r.sentence);
                self->cmdTest->setEnabled(true);
            },
            Qt::QueuedConnection);
    });
    connect(worker, &QThread::finished, worker, &QObject::deleteLater);
    worker->start();
}

void PublishPage::showState()
{
    if (!isVisible() && !lblPublishState->text().isEmpty())
        return;
    lblPublishState->setText(QStringLiteral("Now: ") +
                             norvale::assistant::describe(norvale::assistant::readStatus()));
}

} // namespace norvale::assistant
