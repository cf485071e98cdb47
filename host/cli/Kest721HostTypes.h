#pragma once
// Everything the generated proxies need: the Assistant's own structures and
// the instrument's reading, which a downloaded record carries.
#include "Kest720DBusTypes.h"
#include "Kest721DBusTypes.h"
