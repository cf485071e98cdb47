#pragma once
// The dialogs in process against the real kest720 server and a simulated
// K720 in roentgen units on port 3; every box is recorded and answered
// through the prompts board as a host on the bus would answer it.
#include "assistant/tests/AssistantFixture.h"
#include "assistant/dialogs/Dialogs.h"
#include "assistant/Settings.h"
#include "assistant/cRegistry.h"
#include "assistant/dialogs/frmAbout.h"
#include "assistant/dialogs/frmDataLog.h"
#include "assistant/dialogs/frmDose.h"
#include "assistant/dialogs/frmOptions.h"
#include "assistant/modAlarm.h"
#include "assistant/modTimer.h"

#include <QAbstractButton>
#include <QComboBox>
#include <QElapsedTimer>
#include <QLabel>
#include <QLineEdit>
#include <QThread>
#include <QTimer>
#include <deque>

namespace dialogtest
{

struct Box {
    QString title;
    QString text;
};

// A tick count that runs `factor` times faster than the real one, so that a
// minute of integration passes in a few seconds; the wall clock stays real.
class FastClock : public norvale::assistant::modTimer::ClockSource
{
public:
    explicit FastClock(int factor) : m_factor(factor) { m_elapsed.start(); }
    uint32_t tickCount() override { return 50000u + uint32_t(m_elapsed.elapsed() * m_factor); }
    QDateTime currentDateTime() override { return QDateTime::currentDateTime(); }
    void sleep(int milliseconds) override { QThread::msleep(milliseconds); }

private:
    QElapsedTimer m_elapsed;
    int m_factor;
};

class DialogTest : public assistanttest::AssistantOnBus
{
protected:
    void SetUp() override
    {
        AssistantOnBus::SetUp();
        // The ports folder the options dialog lists, as the server has it.
        qputenv("NORVALE_PORTS", ports.path().toLocal8Bit());
        QObject::connect(&prompts, &norvale::assistant::PromptBoard::shown, &prompts,
                         [this](quint32 id, const QString &title, const QString &text) {
                             boxes.push_back({title, text});
                             const QString button = title == QLatin1String("Disconnect")
                                                        ? norvale::assistant::buttonNo
                                                        : norvale::assistant::buttonOK;
                             QTimer::singleShot(0, &prompts,
                                                [this, id, button] { prompts.answer(id, button); });
                         });
        assistant = makeAssistant();
    }

    void TearDown() override
    {
        norvale::assistant::unloadAll();
        assistant.reset();
        norvale::assistant::modTimer::setClockSources(nullptr, nullptr);
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
        AssistantOnBus::TearDown();
    }

    void connectMeter()
    {
        assistant->Connect();
        ASSERT_TRUE(assistant->Initialized());
        boxes.clear();
    }

    // The texts of the boxes shown since the last call.
    QStringList takeBoxes()
    {
        QStringList texts;
        for (const Box &b : boxes)
            texts << b.text;
        boxes.clear();
        return texts;
    }

    std::deque<Box> boxes;
    std::unique_ptr<norvale::assistant::kest721Assistant> assistant;
};

// A control of a form by its name; the test fails when there is none.
template <typename T> T *control(QWidget *form, const char *name)
{
    T *w = form ? form->findChild<T *>(QString::fromLatin1(name)) : nullptr;
    EXPECT_NE(w, nullptr) << name;
    return w;
}

inline void click(QWidget *form, const char *name)
{
    if (auto *b = control<QAbstractButton>(form, name))
        b->click();
}

inline void setText(QWidget *form, const char *name, const QString &text)
{
    if (auto *e = control<QLineEdit>(form, name))
        e->setText(text);
}

inline QString text(QWidget *form, const char *name)
{
    if (auto *l = form->findChild<QLabel *>(QString::fromLatin1(name)))
        return l->text();
    if (auto *e = form->findChild<QLineEdit *>(QString::fromLatin1(name)))
        return e->text();
    if (auto *c = form->findChild<QComboBox *>(QString::fromLatin1(name)))
        return c->currentText();
    ADD_FAILURE() << "no text control " << name;
    return {};
}

inline void choose(QWidget *form, const char *name, const QString &entry)
{
    if (auto *c = control<QComboBox>(form, name)) {
        const int i = c->findText(entry);
        EXPECT_GE(i, 0) << name << " has no " << entry.toStdString();
        c->setCurrentIndex(i);
    }
}

// The Assistant's setting `name` in the store.
inline norvale::assistant::cRegistry setting(const char *name)
{
    norvale::assistant::cRegistry r;
    r.setClassKey(norvale::assistant::settings::RootKey);
    r.setSectionKey(QString::fromLatin1(norvale::assistant::settings::SectionKey));
    r.setValueKey(QString::fromLatin1(name));
    r.setDefault(QStringLiteral("absent"));
    return r;
}

inline QVariant stored(const char *name)
{
    return setting(name).Value();
}

// Every form the Assistant shows, in one list; a form not loaded is null.
inline QList<QWidget *> forms()
{
    using namespace norvale::assistant;
    return {norvale::assistant::options(), norvale::assistant::dataLog(),
            norvale::assistant::dose(), norvale::assistant::about()};
}

} // namespace dialogtest
