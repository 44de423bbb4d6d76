#pragma once

#include <QString>

namespace vrn {

struct XsdtNode;

// Display name of a value type code: "Boolean", "Integer", ... or "Unknown (x)".
QString typeDisplayName(QChar type);

// True for the six types a user may edit (b, i, u, F, f, s).
bool isEditableType(QChar type);

// The first character of text that XML 1.0 cannot carry in a file (C0 controls other than tab,
// line feed and carriage return; U+FFFE; U+FFFF; a surrogate without its partner): its position
// counted in characters from 1, and its code. Position 0 when there is none.
struct UnwritableCharacter
{
    qsizetype position = 0;
    char32_t code = 0;
};
UnwritableCharacter findUnwritableCharacter(QStringView text);
// "U+0001": how messages name a character.
QString characterCode(char32_t code);

// Turns typed text into the exact text stored for the type, or refuses it with a message.
// Numbers are always read in the C locale, never the user's.
bool validateValue(QChar type, const QString &text, QString *normalized, QString *error = nullptr);

// "(N characters of encoded data)": how a Block value is shown instead of its text.
QString blockDisplayText(const QString &value);
// The same for a Block node; a compressed one counts the encoded data its file holds.
QString blockDisplayText(const XsdtNode &node);

} // namespace vrn
