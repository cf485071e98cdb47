#pragma once
// The adaptor between one kest720 object and the bus: the handlers of the
// members of Norvale720._kest720 and the events of Norvale720.__kest720.
//
// Each instrument works on a thread of its own. Its stream and download
// loops keep the thread busy while they run, handling the calls that arrive
// between readings; on one shared thread a second meter's download would
// run inside the first meter's stream and hold up every reading of it until
// the download had ended.
#include "control/kest720.h"
#include "platform/automation/ExportedObject.h"

#include <QThread>
#include <functional>
#include <memory>

namespace norvale::control
{

class Kest720Servant : public norvale::platform::Servant
{
public:
    // `object` raises the events; `makeInstrument` makes the object served,
    // on the thread it will work on, so that its port lives there too.
    using InstrumentFactory = std::function<std::unique_ptr<kest720>()>;
    Kest720Servant(norvale::platform::ExportedObject &object,
                   const InstrumentFactory &makeInstrument);
    ~Kest720Servant() override;

    const norvale::platform::MemberTable &members() const override { return m_members; }
    // A stream or download loop on the stack is stopped first; the port is
    // closed once it has returned.
    void shutdown(std::function<void()> done) override;

    // The source of the errors that the adaptor raises itself (bad values).
    static const QString errorSource;

private:
    void buildMembers(norvale::platform::ExportedObject &object);
    void connectEvents(norvale::platform::ExportedObject &object);
    // Runs `f` on the instrument's thread and waits for its value; an error
    // it raises is raised here.
    template <typename F> auto onLine(F f) -> decltype(f());
    // Runs `f` on the instrument's thread without waiting; the call's reply
    // (or error) is sent from there, so that it goes out before any event
    // that the instrument raises afterwards.
    void answerOnLine(norvale::platform::ExportedObject &object, std::function<QVariantList()> f);

    norvale::platform::ExportedObject &m_object;
    std::unique_ptr<kest720> m_instrument;
    QThread m_thread;
    norvale::platform::MemberTable m_members;
};

// The type library of kest720: both interfaces, from the resources.
const norvale::platform::TypeLibrary &kest720TypeLibrary();

} // namespace norvale::control
