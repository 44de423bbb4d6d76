#include "document/values.h"

#include "document/xsdtnode.h"

#include <QCoreApplication>
#include <QLocale>

#include <algorithm>
#include <charconv>
#include <cmath>
#include <limits>
#include <string>

namespace vrn {

namespace {

class Values
{
    Q_DECLARE_TR_FUNCTIONS(vrn::Values)

public:
    static bool fail(QString *error, const QString &message)
    {
        if (error)
            *error = message;
        return false;
    }
};

// Reads an optionally signed run of ASCII digits; nothing else is a whole number here.
bool parseWhole(QStringView text, bool *negative, quint64 *magnitude)
{
    qsizetype i = 0;
    *negative = false;
    if (i < text.size() && (text[i] == u'-' || text[i] == u'+')) {
        *negative = text[i] == u'-';
        ++i;
    }
    if (i >= text.size())
        return false;
    quint64 value = 0;
    for (; i < text.size(); ++i) {
        const char16_t c = text[i].unicode();
        if (c < '0' || c > '9')
            return false;
        if (value > (std::numeric_limits<quint64>::max() - (c - '0')) / 10)
            return false;
        value = value * 10 + (c - '0');
    }
    *magnitude = value;
    return true;
}

// The forms a settings file writes its reals in (a sign, digits, a fraction, an exponent), read
// without QLocale, which took most of the time of checking one. Kept to magnitudes that can
// neither overflow nor underflow, where both give the correctly rounded double; false for any
// other text, which is then read the long way.
bool parsePlainReal(QStringView text, double *out)
{
    constexpr qsizetype kMaxDigits = 40;
    constexpr int kMaxExponent = 250;
    char buffer[64];
    if (text.isEmpty() || text.size() >= qsizetype(sizeof buffer))
        return false;
    qsizetype i = 0;
    int length = 0;
    if (text[0] == u'-' || text[0] == u'+') {
        if (text[0] == u'-')
            buffer[length++] = '-';
        ++i;
    }
    const auto digits = [&] {
        const qsizetype from = i;
        for (; i < text.size() && text[i] >= u'0' && text[i] <= u'9'; ++i)
            buffer[length++] = char(text[i].unicode());
        return i - from;
    };
    qsizetype count = digits();
    if (count == 0)
        return false;
    if (i < text.size() && text[i] == u'.') {
        buffer[length++] = '.';
        ++i;
        const qsizetype fraction = digits();
        if (fraction == 0)
            return false;
        count += fraction;
    }
    if (count > kMaxDigits)
        return false;
    if (i < text.size() && (text[i] == u'e' || text[i] == u'E')) {
        buffer[length++] = 'e';
        ++i;
        if (i < text.size() && (text[i] == u'-' || text[i] == u'+'))
            buffer[length++] = char(text[i++].unicode());
        const qsizetype exponentDigits = digits();
        if (exponentDigits == 0 || exponentDigits > 3)
            return false;
        int exponent = 0;
        for (qsizetype k = length - exponentDigits; k < length; ++k)
            exponent = exponent * 10 + (buffer[k] - '0');
        if (exponent > kMaxExponent)
            return false;
    }
    if (i != text.size())
        return false;
    double d = 0;
    const auto [end, ec] = std::from_chars(buffer, buffer + length, d);
    if (ec != std::errc() || end != buffer + length)
        return false;
    *out = d;
    return true;
}

// The C locale reads a dot as the decimal separator whatever the user's locale says; group
// separators are refused so that "1,5" is not read as 15.
bool parseReal(const QString &text, double *out)
{
    if (parsePlainReal(text, out))
        return true;
    QLocale c = QLocale::c();
    c.setNumberOptions(QLocale::RejectGroupSeparator | QLocale::OmitGroupSeparator);
    bool ok = false;
    const double d = c.toDouble(text, &ok);
    if (!ok || !std::isfinite(d))
        return false;
    *out = d;
    return true;
}

// Reads a number as a float directly from its decimal text (no detour through double, which
// could round twice); tiny values that underflow read as the float nearest to zero.
float readFloat(const QString &text)
{
    const std::string s = text.toStdString();
    float f = 0;
    const auto [end, ec] = std::from_chars(s.data(), s.data() + s.size(), f);
    if (ec == std::errc() && end == s.data() + s.size())
        return f;
    return float(QLocale::c().toDouble(text));
}

// The significant digits of the shortest text that reads back as this float: no text with fewer
// can, so the search for the digits to store starts here.
int fewestDigits(float f)
{
    char buffer[32];
    const auto [end, ec] =
        std::to_chars(buffer, buffer + sizeof buffer, f, std::chars_format::scientific);
    int digits = 0;
    for (const char *p = buffer; ec == std::errc() && p < end && *p != 'e'; ++p)
        digits += *p >= '0' && *p <= '9';
    return std::clamp(digits, 1, 9);
}

} // namespace

UnwritableCharacter findUnwritableCharacter(QStringView text)
{
    const char16_t *const begin = text.utf16();
    const char16_t *const end = begin + text.size();
    qsizetype position = 0; // characters before p: a surrogate pair counts once
    for (const char16_t *p = begin; p < end; ++p) {
        const char16_t c = *p;
        ++position;
        if (c >= 0x20 && c < 0xD800)
            continue;
        if (c < 0x20) {
            if (c == u'\t' || c == u'\n' || c == u'\r')
                continue;
            return {position, c};
        }
        if (QChar::isHighSurrogate(c) && p + 1 < end && QChar::isLowSurrogate(p[1])) {
            ++p;
            continue;
        }
        if (QChar::isSurrogate(c) || c == 0xFFFE || c == 0xFFFF)
            return {position, c};
    }
    return {};
}

QString characterCode(char32_t code)
{
    return QStringLiteral("U+%1").arg(uint(code), 4, 16, QLatin1Char('0')).toUpper();
}

QString typeDisplayName(QChar type)
{
    switch (type.unicode()) {
    case 'b':
        return Values::tr("Boolean");
    case 'i':
        return Values::tr("Integer");
    case 'u':
        return Values::tr("Unsigned");
    case 'F':
        return Values::tr("Real");
    case 'f':
        return Values::tr("Real (single)");
    case 's':
        return Values::tr("String");
    case 't':
        return Values::tr("Time");
    case 'B':
        return Values::tr("Block");
    default:
        return Values::tr("Unknown (%1)").arg(type);
    }
}

bool isEditableType(QChar type)
{
    switch (type.unicode()) {
    case 'b':
    case 'i':
    case 'u':
    case 'F':
    case 'f':
    case 's':
        return true;
    default:
        return false;
    }
}

QString blockDisplayText(const QString &value)
{
    return Values::tr("(%1 characters of encoded data)").arg(value.size());
}

QString blockDisplayText(const XsdtNode &node)
{
    if (node.compression().isEmpty())
        return blockDisplayText(node.value);
    // A compressed value's text is only a summary; what the file holds is the Base64 inside
    // its <s> blocks. Tags and the white space between lines are not data.
    qsizetype count = 0;
    bool inTag = false;
    for (const QChar c : node.compressedText()) {
        if (c == QLatin1Char('<'))
            inTag = true;
        else if (c == QLatin1Char('>'))
            inTag = false;
        else if (!inTag && !c.isSpace())
            ++count;
    }
    return Values::tr("(%1 characters of encoded data)").arg(count);
}

bool validateValue(QChar type, const QString &text, QString *normalized, QString *error)
{
    QString result;
    const QString trimmed = text.trimmed();
    switch (type.unicode()) {
    case 'b': {
        const QString lower = trimmed.toLower();
        if (lower == u"true" || lower == u"1")
            result = QStringLiteral("true");
        else if (lower == u"false" || lower == u"0")
            result = QStringLiteral("false");
        else
            return Values::fail(error, Values::tr("Expected true or false."));
        break;
    }
    case 'i': {
        bool negative = false;
        quint64 magnitude = 0;
        if (!parseWhole(trimmed, &negative, &magnitude) ||
            magnitude > (negative ? 2147483648ULL : 2147483647ULL))
            return Values::fail(
                error, Values::tr("Expected an integer between -2147483648 and 2147483647."));
        const qint64 v = negative ? -qint64(magnitude) : qint64(magnitude);
        result = QString::number(v);
        break;
    }
    case 'u': {
        bool negative = false;
        quint64 magnitude = 0;
        if (trimmed.startsWith(u'-') || !parseWhole(trimmed, &negative, &magnitude) ||
            magnitude > 4294967295ULL)
            return Values::fail(error, Values::tr("Expected an integer between 0 and 4294967295."));
        result = QString::number(magnitude);
        break;
    }
    case 'F': {
        double d = 0;
        if (!parseReal(trimmed, &d))
            return Values::fail(error, Values::tr("Expected a real number."));
        result = QString::number(d, 'g', QLocale::FloatingPointShortest);
        break;
    }
    case 'f': {
        double d = 0;
        if (!parseReal(trimmed, &d) || std::fabs(d) > 3.4028234663852886e38)
            return Values::fail(error,
                                Values::tr("Expected a real number in single-precision range."));
        const float f = float(d);
        // The fewest significant digits that read back to the same float, so 0.1 stays 0.1.
        for (int p = fewestDigits(f); p <= 9; ++p) {
            result = QString::number(double(f), 'g', p);
            if (p == 9 || readFloat(result) == f)
                break;
        }
        break;
    }
    case 's':
        // Our own reader would take such a character back, but PixInsight's and any other
        // conforming XML reader refuse the whole file.
        if (const UnwritableCharacter bad = findUnwritableCharacter(text); bad.position > 0)
            return Values::fail(error, Values::tr("Character %1 at position %2 cannot be stored "
                                                  "in a settings file: XML does not allow it.")
                                           .arg(characterCode(bad.code))
                                           .arg(bad.position));
        result = text;
        break;
    default:
        return Values::fail(error,
                            Values::tr("This value type is protected and cannot be edited."));
    }
    if (normalized)
        *normalized = result;
    return true;
}

} // namespace vrn
