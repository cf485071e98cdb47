#include "assistant/dialogs/SoundChooser.h"

#include "assistant/AlarmSound.h"
#include "assistant/dialogs/Dialogs.h"
#include "platform/registry/RegistryStore.h"
#include "assistant/kest721Assistant.h"

#include <QApplication>
#include <QDialogButtonBox>
#include <QFileDialog>
#include <QFileInfo>
#include <QGridLayout>
#include <QLabel>
#include <QLineEdit>
#include <QLoggingCategory>
#include <QPushButton>
#include <QSoundEffect>
#include <QUrl>

Q_LOGGING_CATEGORY(lcSoundChooser, "norvale.assistant.soundchooser")

namespace norvale::assistant
{

SoundChooser::SoundChooser(QWidget *parent) : QDialog(parent)
{
    setObjectName(QStringLiteral("frmSound"));
    setWindowTitle(QStringLiteral("Alarm Sound"));
    auto *grid = new QGridLayout(this);
    auto *label = new QLabel(QStringLiteral("Alarm sound file:"), this);
    m_file = new QLineEdit(soundFileOfAlias(alarmSoundAlias), this);
    m_file->setObjectName(QStringLiteral("txtSoundFile"));
    label->setBuddy(m_file);
    m_file->setMinimumWidth(280);
    auto *browse = new QPushButton(QStringLiteral("Browse..."), this);
    browse->setObjectName(QStringLiteral("cmdBrowse"));
    auto *play = new QPushButton(QStringLiteral("Play"), this);
    play->setObjectName(QStringLiteral("cmdPlay"));
    auto *buttons = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel, this);
    buttons->button(QDialogButtonBox::Ok)->setObjectName(QStringLiteral("cmdOK"));
    buttons->button(QDialogButtonBox::Cancel)->setObjectName(QStringLiteral("cmdCancel"));
    auto *hint =
        new QLabel(QStringLiteral("Leave the name empty to sound the desktop's beep."), this);
    grid->addWidget(label, 0, 0);
    grid->addWidget(m_file, 0, 1);
    grid->addWidget(browse, 0, 2);
    grid->addWidget(hint, 1, 0, 1, 2);
    grid->addWidget(play, 1, 2);
    grid->addWidget(buttons, 2, 0, 1, 3);
    connect(browse, &QPushButton::clicked, this, &SoundChooser::browse);
    connect(play, &QPushButton::clicked, this, &SoundChooser::play);
    connect(buttons, &QDialogButtonBox::accepted, this, &SoundChooser::accept);
    connect(buttons, &QDialogButtonBox::rejected, this, &SoundChooser::reject);
    norvale::assistant::nameControls(this);
}

SoundChooser::~SoundChooser() = default;

QString SoundChooser::assignmentKey()
{
    return QStringLiteral("AppEvents\\Schemes\\Apps\\kest721xl\\%1\\.Current").arg(alarmSoundAlias);
}

bool SoundChooser::assign(const QString &file)
{
    platform::Key key;
    if (platform::createKey(platform::HKEY_CURRENT_USER, assignmentKey(), platform::KEY_ALL_ACCESS,
                            key) != platform::ERROR_SUCCESS)
        return false;
    return platform::setValue(key, QString(), platform::REG_SZ, file.toUtf8() + '\0') ==
           platform::ERROR_SUCCESS;
}

void SoundChooser::accept()
{
    if (!assign(m_file->text().trimmed()))
        qCWarning(lcSoundChooser) << "the alarm sound could not be stored";
    QDialog::accept();
}

void SoundChooser::browse()
{
    const QString file = QFileDialog::getOpenFileName(
        this, QStringLiteral("Alarm Sound"), QFileInfo(m_file->text()).path(),
        QStringLiteral("Sounds (*.wav);;All files (*)"));
    if (!file.isEmpty())
        m_file->setText(file);
}

void SoundChooser::play()
{
    const QString file = m_file->text().trimmed();
    if (file.isEmpty() || !QFileInfo(file).isReadable()) {
        QApplication::beep();
        return;
    }
    m_effect = std::make_unique<QSoundEffect>();
    m_effect->setSource(QUrl::fromLocalFile(file));
    m_effect->play();
}

} // namespace norvale::assistant
