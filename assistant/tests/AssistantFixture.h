#pragma once
// The Assistant in process against the real kest720 server on this test's
// private bus and a simulated K720 in roentgen units on port 3; its boxes go
// to a prompts board that the test answers as a host would.
#include "control/dbus/tests/BusFixture.h"
#include "assistant/dialogs/DesktopWindows.h"
#include "simulator/Meter.h"
#include "assistant/dialogs/Prompts.h"
#include "control/dbus/kest720Proxy.h"
#include "assistant/kest721Assistant.h"
#include "assistant/modMain.h"

namespace assistanttest
{

class AssistantOnBus : public bustest::KestBus
{
protected:
    void SetUp() override
    {
        KestBus::SetUp();
        plugMeter();
    }

    // A meter on port 3; called again, another meter, as when the adapter is
    // plugged in again (on another port if asked).
    void plugMeter(int port = 3)
    {
        meter = std::make_unique<norvale::simulator::Meter>(
            norvale::simulator::testing::fast(ports.path(), port, norvale::simulator::Model::K720,
                                              norvale::simulator::Units::R, 150));
        QString why;
        ASSERT_TRUE(meter->start(&why)) << why.toStdString();
    }

    // An Assistant whose instrument is an object of the server, on port 3.
    // Its windows are the desktop's unless others are given.
    std::unique_ptr<norvale::assistant::kest721Assistant>
    makeAssistant(norvale::assistant::AlarmSound *sound = nullptr,
                  norvale::assistant::Journal *journal = nullptr,
                  norvale::assistant::AssistantWindows *otherWindows = nullptr)
    {
        norvale::assistant::kest721Assistant::Services s;
        s.makeInstrument = [] {
            return std::make_unique<norvale::control::kest720Proxy>(QDBusConnection::sessionBus(),
                                                                    nullptr, QDBus::BlockWithGui);
        };
        s.prompts = &prompts;
        s.windows = otherWindows ? otherWindows : &windows;
        s.sound = sound;
        s.journal = journal;
        auto a = std::make_unique<norvale::assistant::kest721Assistant>(s);
        norvale::assistant::modMain::ComPort = 3;
        return a;
    }

    norvale::assistant::PromptBoard prompts{false};
    norvale::assistant::DesktopWindows windows;
    std::unique_ptr<norvale::simulator::Meter> meter;
};

} // namespace assistanttest
