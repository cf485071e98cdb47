#pragma once
// Everything the generated proxies need: the Assistant's own structures and
// the instrument's reading, which a downloaded record carries.
#include "assistant/dbus/Kest721DBusTypes.h"
#include "control/dbus/Kest720DBusTypes.h"
