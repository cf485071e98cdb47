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
    // plugged in again.
    void plugMeter()
    {
        meter = std::make_unique<sim721::Meter>(
            sim721::testing::fast(ports.path(), 3, sim721::Model::K720, sim721::Units::R, 150));
        QString why;
        ASSERT_TRUE(meter->start(&why)) << why.toStdString();
    }

    // An Assistant whose instrument is an object of the server, on port 3.
    // Its windows are the desktop's unless others are given.
    std::unique_ptr<norvale::kest721Assistant>
    makeAssistant(norvale::AlarmSound *sound = nullptr, norvale::Journal *journal = nullptr,
                  norvale::AssistantWindows *otherWindows = nullptr)
    {
        norvale::kest721Assistant::Services s;
        s.makeInstrument = [] {
            return std::make_unique<norvale::control::kest720Proxy>(QDBusConnection::sessionBus(),
                                                                    nullptr, QDBus::BlockWithGui);
        };
        s.prompts = &prompts;
        s.windows = otherWindows ? otherWindows : &windows;
        s.sound = sound;
        s.journal = journal;
        auto a = std::make_unique<norvale::kest721Assistant>(s);
        norvale::modMain::ComPort = 3;
        return a;
    }

    norvale::PromptBoard prompts{false};
    norvale::DesktopWindows windows;
    std::unique_ptr<sim721::Meter> meter;
};

} // namespace assistanttest
