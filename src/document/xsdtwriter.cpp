#include "document/xsdtwriter.h"

#include "document/xsdtdocument.h"
#include "document/xsdtnode.h"
#include "document/xsdtwriter_p.h"

#include <cstring>

namespace vrn {

namespace {

// Bytes of output gathered before the sink sees them; large enough that the per-flush cost
// disappears, small enough to stay in the cache.
constexpr qsizetype kChunk = 32 * 1024;
// The longest thing written for one UTF-16 unit: "&quot;".
constexpr qsizetype kSlack = 8;

// Replacement for each ASCII character that must be escaped; null for the rest.
struct EscapeTable
{
    const char *entity[128] = {};
    unsigned char length[128] = {};
    constexpr EscapeTable()
    {
        entity[int('"')] = "&quot;";
        length[int('"')] = 6;
        entity[int('&')] = "&amp;";
        length[int('&')] = 5;
        entity[int('\'')] = "&apos;";
        length[int('\'')] = 6;
        entity[int('<')] = "&lt;";
        length[int('<')] = 4;
        entity[int('>')] = "&gt;";
        length[int('>')] = 4;
    }
};
constexpr EscapeTable kEscapes;

// Encodes the written form to UTF-8 in chunks and hands each chunk to `Flush`, so the same
// writer can build the file, compare it with bytes on disk, or just count its length.
template <typename Flush>
class Encoder
{
public:
    explicit Encoder(Flush &flush) : m_flush(flush) {}

    bool stopped() const { return m_flush.stopped(); }

    void literal(const char *s, qsizetype n)
    {
        if (m_p + n > m_end)
            drain();
        std::memcpy(m_p, s, size_t(n));
        m_p += n;
    }
    template <qsizetype N>
    void literal(const char (&s)[N])
    {
        literal(s, N - 1);
    }

    void text(QStringView s, bool escape)
    {
        const char16_t *u = s.utf16();
        const char16_t *const e = u + s.size();
        while (u < e) {
            if (m_p >= m_end)
                drain();
            const char16_t c = *u++;
            if (c < 0x80) {
                if (escape && kEscapes.entity[c]) {
                    std::memcpy(m_p, kEscapes.entity[c], kEscapes.length[c]);
                    m_p += kEscapes.length[c];
                } else {
                    *m_p++ = char(c);
                }
            } else if (c < 0x800) {
                *m_p++ = char(0xC0 | (c >> 6));
                *m_p++ = char(0x80 | (c & 0x3F));
            } else if (c >= 0xD800 && c <= 0xDBFF && u < e && *u >= 0xDC00 && *u <= 0xDFFF) {
                const char32_t cp = 0x10000 + ((char32_t(c) - 0xD800) << 10) + (*u++ - 0xDC00);
                *m_p++ = char(0xF0 | (cp >> 18));
                *m_p++ = char(0x80 | ((cp >> 12) & 0x3F));
                *m_p++ = char(0x80 | ((cp >> 6) & 0x3F));
                *m_p++ = char(0x80 | (cp & 0x3F));
            } else if (c >= 0xD800 && c <= 0xDFFF) {
                // An unpaired surrogate has no UTF-8 form; write U+FFFD as Qt does.
                *m_p++ = char(0xEF);
                *m_p++ = char(0xBF);
                *m_p++ = char(0xBD);
            } else {
                *m_p++ = char(0xE0 | (c >> 12));
                *m_p++ = char(0x80 | ((c >> 6) & 0x3F));
                *m_p++ = char(0x80 | (c & 0x3F));
            }
        }
    }

    void finish() { drain(); }

private:
    void drain()
    {
        m_flush(m_buffer, m_p - m_buffer);
        m_p = m_buffer;
    }

    Flush &m_flush;
    char m_buffer[kChunk];
    char *m_p = m_buffer;
    char *const m_end = m_buffer + kChunk - kSlack;
};

template <typename Flush>
void writeNode(Encoder<Flush> &out, const XsdtNode *node, bool omitMarked)
{
    if (omitMarked && node->pendingDelete)
        return;
    if (node->kind == XsdtNode::Group) {
        out.literal("<i k=\"");
        out.text(node->key, true);
        out.literal("\"");
        if (node->children.empty() && node->selfClosing) {
            out.literal("/>");
            return;
        }
        out.literal(">");
        for (const auto &child : node->children) {
            if (out.stopped())
                return;
            writeNode(out, child.get(), omitMarked);
        }
        out.literal("</i>");
        return;
    }
    out.literal("<v k=\"");
    out.text(node->key, true);
    out.literal("\" t=\"");
    out.text(QStringView(&node->type, 1), true);
    out.literal("\"");
    if (!node->compression.isEmpty()) {
        out.literal(" c=\"");
        out.text(node->compression, true);
        out.literal("\">");
        out.text(node->compressedText, false);
        out.literal("</v>");
    } else if (!node->textForm) {
        out.literal(" v=\"");
        out.text(node->value, true);
        out.literal("\"/>");
    } else if (node->value.isEmpty() && node->selfClosing) {
        out.literal("/>");
    } else {
        out.literal(">");
        out.text(node->value, true);
        out.literal("</v>");
    }
}

template <typename Flush>
void writeDocument(Encoder<Flush> &out, const XsdtDocument &doc)
{
    out.text(doc.head, false);
    for (const auto &child : doc.root.children) {
        if (out.stopped())
            break;
        writeNode(out, child.get(), true);
    }
    out.literal("</xsdt>");
    out.text(doc.tail, false);
    out.finish();
}

struct AppendFlush
{
    QByteArray &bytes;
    bool stopped() const { return false; }
    void operator()(const char *data, qsizetype n) { bytes.append(data, n); }
};

struct CountFlush
{
    qint64 total = 0;
    bool stopped() const { return false; }
    void operator()(const char *, qsizetype n) { total += n; }
};

// Compares the output with given bytes as it is produced and stops at the first difference.
struct CompareFlush
{
    const QByteArray &expected;
    qsizetype offset = 0;
    bool differs = false;
    bool stopped() const { return differs; }
    void operator()(const char *data, qsizetype n)
    {
        if (differs)
            return;
        if (offset + n > expected.size() || std::memcmp(expected.constData() + offset, data, size_t(n)) != 0)
            differs = true;
        offset += n;
    }
};

} // namespace

QString xmlEscape(const QString &text)
{
    qsizetype extra = 0;
    for (QChar c : text) {
        if (c.unicode() < 0x80)
            extra += kEscapes.length[c.unicode()] ? kEscapes.length[c.unicode()] - 1 : 0;
    }
    if (extra == 0)
        return text;
    QString out;
    out.reserve(text.size() + extra);
    for (QChar c : text) {
        if (c.unicode() < 0x80 && kEscapes.entity[c.unicode()])
            out += QLatin1String(kEscapes.entity[c.unicode()], kEscapes.length[c.unicode()]);
        else
            out += c;
    }
    return out;
}

qint64 serializedSize(const XsdtNode *node)
{
    if (!node)
        return 0;
    CountFlush count;
    auto out = std::make_unique<Encoder<CountFlush>>(count);
    writeNode(*out, node, false);
    out->finish();
    return count.total;
}

QByteArray XsdtDocument::serialize() const
{
    QByteArray bytes;
    bytes.reserve(0x40000);
    AppendFlush append{bytes};
    auto out = std::make_unique<Encoder<AppendFlush>>(append);
    writeDocument(*out, *this);
    return bytes;
}

bool serializesTo(const XsdtDocument &doc, const QByteArray &bytes)
{
    CompareFlush compare{bytes};
    auto out = std::make_unique<Encoder<CompareFlush>>(compare);
    writeDocument(*out, doc);
    return !compare.differs && compare.offset == bytes.size();
}

} // namespace vrn
