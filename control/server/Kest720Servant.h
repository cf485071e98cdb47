#pragma once
// The adaptor between one kest720 object and the bus: the handlers of the
// members of Norvale720._kest720 and the events of Norvale720.__kest720.
#include "control/kest720.h"
#include "platform/automation/ExportedObject.h"

#include <memory>

namespace norvale::control
{

class Kest720Servant : public norvale::platform::Servant
{
public:
    // `object` raises the events; `instrument` is the object served (tests
    // pass one with a link of their own).
    Kest720Servant(norvale::platform::ExportedObject &object, std::unique_ptr<kest720> instrument);
    ~Kest720Servant() override;

    const norvale::platform::MemberTable &members() const override { return m_members; }
    // A stream or download loop on the stack is stopped first; the port is
    // closed once it has returned.
    void shutdown(std::function<void()> done) override;

    kest720 &instrument() { return *m_instrument; }

    // The source of the errors that the adaptor raises itself (bad values).
    static const QString errorSource;

private:
    void buildMembers(norvale::platform::ExportedObject &object);
    void connectEvents(norvale::platform::ExportedObject &object);

    std::unique_ptr<kest720> m_instrument;
    norvale::platform::MemberTable m_members;
};

// The type library of kest720: both interfaces, from the resources.
const norvale::platform::TypeLibrary &kest720TypeLibrary();

} // namespace norvale::control
