#pragma once
// Typed registry data as text: the names of the value types and the text form
// of each type's data, as norvale-reg shows and takes them.
#include <QByteArray>
#include <QString>
#include <cstdint>

namespace norvale::platform
{

// "REG_SZ" and the like; "REG_TYPE_<n>" for a type without a name.
QString typeName(uint32_t type);
// A type by its name, any case; false for an unknown name.
bool parseType(const QString &text, uint32_t *type);
// The data of a value as a person reads it: texts without their NUL, numbers
// in hexadecimal and decimal, anything else (and a number of the wrong size)
// as hexadecimal bytes.
QString dataText(uint32_t type, const QByteArray &data);
// The data that a text stands for under a type: texts get their NUL, numbers
// are decimal (a negative one in two's complement) or 0x hexadecimal, other
// types take hexadecimal bytes. False when the text does not fit the type.
bool parseData(uint32_t type, const QString &text, QByteArray *data);

} // namespace norvale::platform
