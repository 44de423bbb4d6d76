// Reader for exactly the subset of XML that PixInsight writes in its settings files. It keeps
// everything outside the root element verbatim and never decodes compressed values, so that
// the writer can reproduce a compact file byte for byte.

#include "document/xsdtdocument.h"
#include "document/xsdtwriter_p.h"

#include <QCoreApplication>
#include <QLocale>
#include <QRegularExpression>
#include <QStringDecoder>

#include <cstring>

#ifdef __SSE2__
#include <emmintrin.h>
#endif
#include <limits>
#include <vector>

namespace vrn {

namespace {

// Real settings files nest a handful of levels. The limit keeps a hostile file from
// exhausting the stack in the reader, the writer or the node destructors.
constexpr int kMaxDepth = 1000;
constexpr qsizetype kInternedValueLength = 6;

bool isSpaceUnit(char16_t c)
{
    if (c <= 0x20)
        return c == 0x20 || (c >= 9 && c <= 13);
    if (c < 0x80)
        return false;
    return QChar::isSpace(c);
}

bool isAsciiNameChar(char16_t c)
{
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-' ||
           c == '.' || c == ':' || c == '_';
}

// Keys and short values repeat endlessly (Geometry, Visible, true, 0): handing out shared
// copies saves an allocation per node and much of the document's memory. A small direct-mapped
// cache stays in the processor's cache, so a miss costs no more than the allocation it replaces,
// and unique strings (history entries) cannot make it grow.
class StringCache
{
public:
    QString get(QStringView text)
    {
        const qsizetype n = text.size();
        const char16_t *u = text.utf16();
        // Length, head and tail are enough to spread keys and short values over the slots.
        quint64 head = 0;
        quint64 tail = 0;
        std::memcpy(&head, u, size_t(qMin<qsizetype>(n, 4)) * 2);
        if (n > 4)
            std::memcpy(&tail, u + n - qMin<qsizetype>(n - 4, 4),
                        size_t(qMin<qsizetype>(n - 4, 4)) * 2);
        quint64 h = (head * 0x9E3779B97F4A7C15ULL) ^ (tail * 0xC2B2AE3D27D4EB4FULL) ^ quint64(n);
        h ^= h >> 29;
        QString &slot = m_slots[h & (kSlots - 1)];
        if (slot.size() != n || slot.isNull() ||
            std::memcmp(slot.constData(), u, size_t(n) * 2) != 0)
            slot = text.toString();
        return slot;
    }

private:
    static constexpr size_t kSlots = 4096;
    std::vector<QString> m_slots = std::vector<QString>(kSlots);
};

// Index of the first `stop` character at or after `from`, or `end`; sets *amp when an '&' was
// passed on the way. Eight units at a time where the processor allows.
qsizetype scanTo(const char16_t *s, qsizetype from, qsizetype end, char16_t stop, bool *amp)
{
    qsizetype i = from;
#ifdef __SSE2__
    const __m128i stops = _mm_set1_epi16(short(stop));
    const __m128i amps = _mm_set1_epi16('&');
    while (end - i >= 8) {
        const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i *>(s + i));
        const int stopMask = _mm_movemask_epi8(_mm_cmpeq_epi16(v, stops));
        const int ampMask = _mm_movemask_epi8(_mm_cmpeq_epi16(v, amps));
        if (stopMask) {
            const int at = __builtin_ctz(unsigned(stopMask)); // byte index of the first match
            if (ampMask & ((1 << at) - 1))
                *amp = true;
            return i + at / 2;
        }
        if (ampMask)
            *amp = true;
        i += 8;
    }
#endif
    for (; i < end; ++i) {
        if (s[i] == stop)
            return i;
        if (s[i] == u'&')
            *amp = true;
    }
    return end;
}

struct Tag
{
    QStringView name;
    QString k, t, v, c;
    bool hasK = false, hasT = false, hasV = false, hasC = false;
    bool closing = false;
    bool selfClosing = false;
};

class Reader
{
    Q_DECLARE_TR_FUNCTIONS(vrn::XsdtReader)

public:
    // With `expected`, every element is compared with the tree of `expected` (nodes marked for
    // deletion left out) as soon as it is complete and then dropped, so that checking a file
    // costs no second tree.
    Reader(const QString &text, XsdtDocument &doc, const XsdtNode *expected = nullptr)
        : m_text(text)
        , m_s(reinterpret_cast<const char16_t *>(text.utf16()))
        , m_n(text.size())
        , m_doc(doc)
        , m_expected(expected)
    {}

    bool run();
    QString error() const { return m_error; }
    // Set when the text read differs from the expected tree: the path where it was found.
    const QString &difference() const { return m_difference; }
    bool differs() const { return m_differs; }

private:
    bool readElements(XsdtNode *parent, int depth, const XsdtNode *expected);
    bool checkRead(XsdtNode *parent, const XsdtNode *expected);
    bool differ(const XsdtNode *at);
    bool readValue(XsdtNode *parent, Tag &tag);
    bool readTag(Tag &tag);
    bool decode(QStringView raw, QString &out, StringCache *cache = nullptr);
    bool nameCharAt(qsizetype i, qsizetype *width) const;
    qsizetype readName();
    void skipSpace()
    {
        while (m_pos < m_n && isSpaceUnit(m_s[m_pos]))
            ++m_pos;
    }
    bool fail(const QString &message);
    bool failUnpositioned(const QString &message);

    const QString &m_text;
    const char16_t *m_s;
    qsizetype m_n;
    qsizetype m_pos = 0;
    XsdtDocument &m_doc;
    const XsdtNode *m_expected;
    QString m_difference;
    bool m_differs = false;
    // Views into keys held by the nodes being built, for error messages.
    std::vector<QStringView> m_context;
    QStringView m_currentKey;
    QString m_error;
    StringCache m_keys;
    StringCache m_values;
};

bool Reader::fail(const QString &message)
{
    if (!m_error.isEmpty())
        return false;
    qsizetype line = 1;
    qsizetype lineStart = 0;
    const qsizetype end = qMin(m_pos, m_n);
    for (qsizetype i = 0; i < end; ++i) {
        if (m_s[i] == u'\n') {
            ++line;
            lineStart = i + 1;
        }
    }
    const qsizetype column = end - lineStart + 1;
    QStringList where;
    for (QStringView key : m_context)
        where.append(key.toString());
    if (!m_currentKey.isEmpty())
        where.append(m_currentKey.toString());
    if (where.isEmpty())
        m_error = tr("%1 (line %2, column %3)").arg(message).arg(line).arg(column);
    else
        m_error = tr("%1 (line %2, column %3, in %4)")
                      .arg(message)
                      .arg(line)
                      .arg(column)
                      .arg(shortenedPath(where.join(QLatin1Char('/'))));
    return false;
}

bool Reader::failUnpositioned(const QString &message)
{
    if (m_error.isEmpty())
        m_error = message;
    return false;
}

bool Reader::run()
{
    const QStringView text(m_text);
    const qsizetype start = text.indexOf(u"<xsdt");
    if (start < 0)
        return failUnpositioned(tr("Not a PixInsight settings file (no <xsdt> element)."));
    const qsizetype gt = text.indexOf(u'>', start + 5);
    if (gt < 0 || m_s[gt - 1] == u'/')
        return failUnpositioned(tr("The <xsdt> element is empty or malformed."));
    m_doc.head = m_text.left(gt + 1);
    m_pos = gt + 1;

    if (!readElements(&m_doc.root, 0, m_expected))
        return false;
    Tag closing;
    if (!readTag(closing))
        return false;
    if (!closing.closing || closing.name != u"xsdt")
        return fail(tr("expected </xsdt>"));

    for (qsizetype i = m_pos; i < m_n; ++i) {
        if (!isSpaceUnit(m_s[i]))
            return failUnpositioned(tr("Unexpected content after </xsdt>."));
    }
    m_doc.tail = m_text.mid(m_pos);
    return true;
}

// The next child of `expected` that is written, from *next on; null when there is none left.
const XsdtNode *nextWritten(const XsdtNode *expected, size_t *next)
{
    while (*next < expected->children.size()) {
        const XsdtNode *child = expected->children[(*next)++].get();
        if (!child->pendingDelete)
            return child;
    }
    return nullptr;
}

bool Reader::differ(const XsdtNode *at)
{
    m_differs = true;
    m_difference = at->path();
    return false;
}

// Compares the element just read (the last child of `parent`) with the one `expected` holds
// in that place, then drops it.
bool Reader::checkRead(XsdtNode *parent, const XsdtNode *expected)
{
    const XsdtNode &read = *parent->children.back();
    const XsdtNode &want = *expected;
    bool same = read.kind == want.kind && read.key == want.key;
    if (same && read.kind == XsdtNode::Value)
        same = read.type == want.type && read.value == want.value &&
               read.compression() == want.compression() && read.compressedText() == want.compressedText();
    if (!same)
        return differ(expected);
    parent->children.pop_back();
    m_currentKey = QStringView(); // it viewed the dropped node's key
    return true;
}

bool Reader::readElements(XsdtNode *parent, int depth, const XsdtNode *expected)
{
    size_t next = 0;
    for (;;) {
        skipSpace();
        if (m_pos >= m_n)
            return fail(tr("unexpected end of file"));
        if (m_s[m_pos] == u'<' && m_pos + 1 < m_n && m_s[m_pos + 1] == u'/') {
            if (expected && nextWritten(expected, &next))
                return differ(expected);
            return true;
        }

        m_currentKey = QStringView();
        Tag tag;
        if (!readTag(tag))
            return false;

        const XsdtNode *want = nullptr;
        if (expected) {
            want = nextWritten(expected, &next);
            if (!want)
                return differ(expected);
        }
        const char16_t element = tag.name.size() == 1 ? tag.name.at(0).unicode() : 0;
        if (element == u'i') {
            if (!tag.hasK || tag.hasT || tag.hasV || tag.hasC)
                return fail(tr("malformed <i> element"));
            XsdtNode *group = parent->appendChild(XsdtNode::Group, tag.k);
            group->selfClosing = tag.selfClosing;
            if (want && (want->kind != XsdtNode::Group || want->key != group->key))
                return differ(want);
            if (!tag.selfClosing) {
                if (depth + 1 > kMaxDepth)
                    return fail(
                        tr("elements nested too deeply (more than %1 levels)").arg(kMaxDepth));
                m_context.push_back(group->key);
                if (!readElements(group, depth + 1, want))
                    return false;
                m_context.pop_back();
                Tag closing;
                if (!readTag(closing))
                    return false;
                if (!closing.closing || closing.name != u"i")
                    return fail(tr("expected </i>"));
            } else if (want) {
                size_t first = 0;
                if (nextWritten(want, &first)) // an empty group where one with children belongs
                    return differ(want);
            }
            if (want && !checkRead(parent, want))
                return false;
            continue;
        }
        if (element == u'v') {
            if (!readValue(parent, tag))
                return false;
            if (want && !checkRead(parent, want))
                return false;
            continue;
        }
        return fail(tr("unexpected element <%1>").arg(tag.name));
    }
}

bool Reader::readValue(XsdtNode *parent, Tag &tag)
{
    static const QRegularExpression blocks(
        QStringLiteral(R"re(^(?:\s*<s\s+u="\d+"\s*>[A-Za-z0-9+/=\s]*</s>)+\s*$)re"));
    static const QRegularExpression blockSize(QStringLiteral(R"re(<s\s+u="(\d+)")re"));

    if (!tag.hasK || !tag.hasT || tag.t.size() != 1)
        return fail(tr("malformed <v> element"));

    if (!tag.hasC) {
        if (tag.selfClosing) {
            if (!tag.hasV)
                return fail(tr("<v> element without a value"));
            XsdtNode *node = parent->appendChild(XsdtNode::Value, std::move(tag.k));
            node->type = tag.t.at(0);
            node->value = std::move(tag.v);
            node->originalValue = node->value;
            node->selfClosing = true;
            return true;
        }
        if (tag.hasV)
            return fail(tr("<v> element with both an attribute and a text value"));
        // One forward scan finds both the end tag and any markup before it.
        const QStringView rest = QStringView(m_text).mid(m_pos);
        const qsizetype lt = rest.indexOf(u'<');
        qsizetype end = -1;
        if (lt >= 0 && rest.mid(lt).startsWith(u"</v>")) {
            end = lt;
        } else {
            const qsizetype found = lt < 0 ? -1 : rest.indexOf(u"</v>", lt);
            if (found < 0)
                return fail(tr("unterminated <v> element"));
            return fail(tr("markup inside a <v> text value"));
        }
        QString decoded;
        if (!decode(rest.left(end), decoded))
            return false;
        XsdtNode *node = parent->appendChild(XsdtNode::Value, std::move(tag.k));
        node->type = tag.t.at(0);
        node->value = std::move(decoded);
        node->originalValue = node->value;
        node->textForm = true;
        m_pos += end + 4;
        return true;
    }

    // A compressed value with an empty algorithm name could not be written back as one, so
    // its blocks would be lost on save: refuse it like any other malformed compressed value.
    if (tag.selfClosing || tag.hasV || tag.c.isEmpty())
        return fail(tr("malformed compressed <v> element"));
    const QStringView rest = QStringView(m_text).mid(m_pos);
    const qsizetype end = rest.indexOf(u"</v>");
    if (end < 0)
        return fail(tr("unterminated <v> element"));
    const QStringView content = rest.left(end);
    if (!blocks.match(content).hasMatch())
        return fail(tr("unsupported content in a compressed <v> element"));

    qint64 total = 0;
    auto it = blockSize.globalMatch(content);
    while (it.hasNext()) {
        bool ok = false;
        const qint64 size = it.next().capturedView(1).toLongLong(&ok);
        if (!ok || size > std::numeric_limits<qint64>::max() - total)
            total = std::numeric_limits<qint64>::max();
        else
            total += size;
    }
    XsdtNode *node = parent->appendChild(XsdtNode::Value, tag.k);
    node->type = tag.t.at(0);
    node->textForm = true;
    node->setCompressed(tag.c, content.toString());
    node->value = tr("(compressed %1 block, %2 uncompressed)")
                      .arg(tag.c, QLocale().formattedDataSize(total, 2));
    node->originalValue = node->value;
    m_pos += end + 4;
    return true;
}

bool Reader::nameCharAt(qsizetype i, qsizetype *width) const
{
    const char16_t c = m_s[i];
    *width = 1;
    if (c < 0x80)
        return isAsciiNameChar(c);
    if (QChar::isHighSurrogate(c) && i + 1 < m_n && QChar::isLowSurrogate(m_s[i + 1])) {
        const char32_t cp = QChar::surrogateToUcs4(c, m_s[i + 1]);
        *width = 2;
        return QChar::isLetter(cp) || QChar::isDigit(cp);
    }
    return QChar::isLetter(c) || QChar::isDigit(c);
}

qsizetype Reader::readName()
{
    const qsizetype start = m_pos;
    qsizetype width = 1;
    while (m_pos < m_n && nameCharAt(m_pos, &width))
        m_pos += width;
    return m_pos - start;
}

bool Reader::readTag(Tag &tag)
{
    skipSpace();
    if (m_pos >= m_n || m_s[m_pos] != u'<')
        return fail(tr("expected '<'"));
    ++m_pos;
    if (m_pos < m_n && m_s[m_pos] == u'/') {
        tag.closing = true;
        ++m_pos;
    }
    const qsizetype nameStart = m_pos;
    if (readName() == 0)
        return fail(tr("expected an element name"));
    tag.name = QStringView(m_s + nameStart, m_pos - nameStart);

    for (;;) {
        skipSpace();
        if (m_pos >= m_n)
            return fail(tr("unexpected end of file inside a tag"));
        const char16_t c = m_s[m_pos];
        if (c == u'>') {
            ++m_pos;
            return true;
        }
        if (c == u'/') {
            if (!tag.closing && m_pos + 1 < m_n && m_s[m_pos + 1] == u'>') {
                tag.selfClosing = true;
                m_pos += 2;
                return true;
            }
            return fail(tr("malformed tag"));
        }
        if (tag.closing)
            return fail(tr("unexpected content in closing tag"));

        const qsizetype attrStart = m_pos;
        if (readName() == 0)
            return fail(tr("malformed attribute"));
        const QStringView attr(m_s + attrStart, m_pos - attrStart);
        skipSpace();
        if (m_pos >= m_n || m_s[m_pos] != u'=')
            return fail(tr("expected '=' after attribute name"));
        ++m_pos;
        skipSpace();
        if (m_pos >= m_n || (m_s[m_pos] != u'"' && m_s[m_pos] != u'\''))
            return fail(tr("expected a quoted attribute value"));
        const char16_t quote = m_s[m_pos];
        bool hasEntity = false;
        const qsizetype close = scanTo(m_s, m_pos + 1, m_n, quote, &hasEntity);
        if (close >= m_n)
            return fail(tr("unterminated attribute value"));
        const QStringView raw(m_s + m_pos + 1, close - m_pos - 1);
        m_pos = close + 1;
        const char16_t name = attr.size() == 1 ? attr.at(0).unicode() : 0;
        StringCache *cache = name == u'k'                         ? &m_keys
                             : raw.size() <= kInternedValueLength ? &m_values
                                                                  : nullptr;
        QString value;
        if (!hasEntity)
            value = cache ? cache->get(raw) : raw.toString();
        else if (!decode(raw, value, cache))
            return false;
        if (name == u'k') {
            tag.k = std::move(value);
            tag.hasK = true;
            m_currentKey = tag.k;
        } else if (name == u't') {
            tag.t = std::move(value);
            tag.hasT = true;
        } else if (name == u'v') {
            tag.v = std::move(value);
            tag.hasV = true;
        } else if (name == u'c') {
            tag.c = std::move(value);
            tag.hasC = true;
        } else {
            return fail(tr("unsupported attribute '%1'").arg(attr));
        }
    }
}

bool Reader::decode(QStringView raw, QString &out, StringCache *cache)
{
    qsizetype amp = raw.indexOf(u'&');
    if (amp < 0) {
        out = cache ? cache->get(raw) : raw.toString();
        return true;
    }
    out.clear();
    out.reserve(raw.size());
    qsizetype from = 0;
    while (amp >= 0) {
        out.append(raw.mid(from, amp - from));
        const qsizetype semi = raw.indexOf(u';', amp + 1);
        if (semi < 0 || semi - amp > 12)
            return fail(tr("malformed entity reference"));
        const QStringView name = raw.mid(amp + 1, semi - amp - 1);
        if (name == u"amp") {
            out.append(u'&');
        } else if (name == u"lt") {
            out.append(u'<');
        } else if (name == u"gt") {
            out.append(u'>');
        } else if (name == u"quot") {
            out.append(u'"');
        } else if (name == u"apos") {
            out.append(u'\'');
        } else if (name.startsWith(u'#')) {
            const bool hex = name.size() >= 2 && name.at(1) == u'x';
            const QStringView digits = name.mid(hex ? 2 : 1);
            quint64 code = 0;
            bool ok = !digits.isEmpty();
            for (QChar d : digits) {
                const char16_t u = d.unicode();
                int digit = -1;
                if (u >= '0' && u <= '9')
                    digit = u - '0';
                else if (hex && u >= 'a' && u <= 'f')
                    digit = u - 'a' + 10;
                else if (hex && u >= 'A' && u <= 'F')
                    digit = u - 'A' + 10;
                if (digit < 0) {
                    ok = false;
                    break;
                }
                code = code * (hex ? 16 : 10) + quint64(digit);
            }
            // Surrogate code points are refused too: a lone one has no UTF-8 form, so the
            // value would not survive being written and read again.
            if (!ok || code == 0 || code > 0x10FFFF || (code >= 0xD800 && code <= 0xDFFF))
                return fail(tr("invalid character reference"));
            const char32_t cp = char32_t(code);
            out.append(QStringView(QChar::fromUcs4(cp)));
        } else {
            return fail(tr("unknown entity &%1;").arg(name));
        }
        from = semi + 1;
        amp = raw.indexOf(u'&', from);
    }
    out.append(raw.mid(from));
    return true;
}

// The number of U+FFFD the decoder put in for bytes that are not UTF-8, and the line and
// column of the first. Real U+FFFD characters in the file (EF BF BD) are not counted.
XsdtDocument::InvalidUtf8 findInvalidUtf8(const QByteArray &bytes, const QString &text,
                                          qsizetype *realBefore)
{
    XsdtDocument::InvalidUtf8 found;
    const qsizetype replaced = text.count(QChar(QChar::ReplacementCharacter));
    found.count = int(replaced - bytes.count("\xEF\xBF\xBD"));
    if (found.count <= 0) {
        found.count = 0;
        return found;
    }
    // The first byte that does not start or continue a well-formed sequence.
    const auto *data = reinterpret_cast<const unsigned char *>(bytes.constData());
    const qsizetype size = bytes.size();
    qsizetype at = 0;
    while (at < size) {
        const unsigned char lead = data[at];
        int length = lead < 0x80           ? 1
                     : (lead >> 5) == 0x6  ? 2
                     : (lead >> 4) == 0xE  ? 3
                     : (lead >> 3) == 0x1E ? 4
                                           : 0;
        bool ok = length > 0 && at + length <= size;
        for (int i = 1; ok && i < length; ++i)
            ok = (data[at + i] & 0xC0) == 0x80;
        if (ok && length > 1) {
            // Overlong forms, surrogates and code points past U+10FFFF are not UTF-8 either.
            char32_t code = lead & (0xFF >> (length + 1));
            for (int i = 1; i < length; ++i)
                code = (code << 6) | (data[at + i] & 0x3F);
            static const char32_t minimum[] = {0, 0, 0x80, 0x800, 0x10000};
            ok = code >= minimum[length] && code <= 0x10FFFF && (code < 0xD800 || code > 0xDFFF);
        }
        if (!ok)
            break;
        at += length;
    }
    *realBefore = bytes.left(at).count("\xEF\xBF\xBD");
    // lastIndexOf treats a negative start as "from the end": a bad first byte needs care.
    const qsizetype lineStart = at > 0 ? bytes.lastIndexOf('\n', at - 1) + 1 : 0;
    found.line = bytes.left(at).count('\n') + 1;
    found.column = QString::fromUtf8(bytes.constData() + lineStart, at - lineStart).size() + 1;
    return found;
}

// The node, in file order, whose key or value holds the replacement character after `skip`
// earlier ones (those that stood in the file as real U+FFFD).
const XsdtNode *nodeWithReplacement(const XsdtNode &node, qsizetype &skip)
{
    for (const auto &child : node.children) {
        const QChar mark(QChar::ReplacementCharacter);
        const qsizetype here = child->key.count(mark) + child->value.count(mark);
        if (skip < here)
            return child.get();
        skip -= here;
        if (const XsdtNode *inside = nodeWithReplacement(*child, skip))
            return inside;
    }
    return nullptr;
}

} // namespace

bool XsdtDocument::readsBackAs(const QString &text, QString *error, QString *where) const
{
    XsdtDocument scratch;
    Reader reader(text, scratch, &root);
    if (reader.run())
        return true;
    if (reader.differs()) {
        if (where)
            *where = reader.difference();
    } else if (error) {
        *error = reader.error();
    }
    return false;
}

bool XsdtDocument::parse(const QByteArray &bytes, QString *error)
{
    clear();
    // Keep a leading byte-order mark in the text so that it stays in `head` and is written back.
    QStringDecoder decoder(QStringConverter::Utf8, QStringConverter::Flag::ConvertInitialBom);
    const QString text = decoder.decode(bytes);
    Reader reader(text, *this);
    if (!reader.run()) {
        clear();
        if (error)
            *error = reader.error();
        return false;
    }
    compactLayout = serializesTo(*this, bytes);
    if (decoder.hasError()) {
        qsizetype skip = 0;
        invalidUtf8 = findInvalidUtf8(bytes, text, &skip);
        skip -= head.count(QChar(QChar::ReplacementCharacter));
        const XsdtNode *node =
            invalidUtf8.count > 0 && skip >= 0 ? nodeWithReplacement(root, skip) : nullptr;
        if (node)
            invalidUtf8.path = node->path();
    }
    return true;
}

} // namespace vrn
