#pragma once
// Chooses the sound file of the alarm alias in the settings store, where the
// alarm sound looks it up, with a button to hear it first.
#include <QDialog>
#include <memory>

class QLineEdit;
class QSoundEffect;

namespace norvale::assistant
{

class SoundChooser : public QDialog
{
    Q_OBJECT
public:
    explicit SoundChooser(QWidget *parent = nullptr);
    ~SoundChooser() override;

    // Where the alias's file is kept (the program's own app key).
    static QString assignmentKey();
    // Stores `file` for the alarm alias; an empty name removes the assignment
    // (the default beep sounds). False when the store refuses.
    static bool assign(const QString &file);

    void accept() override;

private:
    void browse();
    void play();

    QLineEdit *m_file = nullptr;
    std::unique_ptr<QSoundEffect> m_effect;
};

} // namespace norvale::assistant
