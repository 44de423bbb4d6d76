#include "document/xsdtwriter.h"

#include "document/xsdtdocument.h"
#include "document/xsdtnode.h"
#include "document/xsdtpieces.h"
#include "document/xsdtwriter_p.h"

#include <cstring>

#ifdef __SSE2__
#include <emmintrin.h>
#endif

namespace vrn {

namespace {

// Bytes of output gathered before the sink sees them; large enough that the per-flush cost
// disappears, small enough to stay in the cache.
constexpr qsizetype kChunk = 32 * 1024;
// The longest thing written for one UTF-16 unit: "&quot;".
constexpr qsizetype kSlack = 8;

// How text is written: as it stands (the head, the tail, compressed blocks), with the five
// markup characters escaped (keys, types, values as read), or also with tab, line feed and
// carriage return as character references (edited values), so that an XML reader, which turns
// raw ones in an attribute into spaces and a raw carriage return into a line feed, reads back
// exactly what was typed. Our reader decodes the references either way.
enum class Escape { None, Markup, Breaks };

// Replacement for each ASCII character that must be escaped; null for the rest.
struct EscapeTable
{
    const char *entity[128] = {};
    unsigned char length[128] = {};
    constexpr explicit EscapeTable(bool breaks)
    {
        if (breaks) {
            entity[int('\t')] = "&#9;";
            length[int('\t')] = 4;
            entity[int('\n')] = "&#10;";
            length[int('\n')] = 5;
            entity[int('\r')] = "&#13;";
            length[int('\r')] = 5;
        }
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
constexpr EscapeTable kEscapes(false);
constexpr EscapeTable kBreakEscapes(true);

inline const EscapeTable *tableFor(Escape escape)
{
    return escape == Escape::None ? nullptr : escape == Escape::Markup ? &kEscapes : &kBreakEscapes;
}

#ifdef __SSE2__
// True when all eight units are ASCII that is written as it stands (nothing to escape).
inline bool plainAscii(__m128i v, Escape escape)
{
    // Any unit >= 0x80 leaves a non-zero value after the saturating subtract.
    const __m128i high = _mm_subs_epu16(v, _mm_set1_epi16(0x7F));
    __m128i special = _mm_cmpeq_epi16(high, high);
    special = _mm_xor_si128(special, _mm_cmpeq_epi16(high, _mm_setzero_si128()));
    if (escape == Escape::Breaks) {
        special = _mm_or_si128(special, _mm_cmpeq_epi16(v, _mm_set1_epi16('\t')));
        special = _mm_or_si128(special, _mm_cmpeq_epi16(v, _mm_set1_epi16('\n')));
        special = _mm_or_si128(special, _mm_cmpeq_epi16(v, _mm_set1_epi16('\r')));
    }
    if (escape != Escape::None) {
        special = _mm_or_si128(special, _mm_cmpeq_epi16(v, _mm_set1_epi16('"')));
        special = _mm_or_si128(special, _mm_cmpeq_epi16(v, _mm_set1_epi16('&')));
        special = _mm_or_si128(special, _mm_cmpeq_epi16(v, _mm_set1_epi16('\'')));
        special = _mm_or_si128(special, _mm_cmpeq_epi16(v, _mm_set1_epi16('<')));
        special = _mm_or_si128(special, _mm_cmpeq_epi16(v, _mm_set1_epi16('>')));
    }
    return _mm_movemask_epi8(special) == 0;
}
#endif

#ifdef __SSE2__
// The same for sixteen Latin-1 bytes.
inline bool plainBytes(__m128i v, Escape escape)
{
    __m128i special = _mm_setzero_si128();
    if (escape == Escape::Breaks) {
        special = _mm_or_si128(special, _mm_cmpeq_epi8(v, _mm_set1_epi8('\t')));
        special = _mm_or_si128(special, _mm_cmpeq_epi8(v, _mm_set1_epi8('\n')));
        special = _mm_or_si128(special, _mm_cmpeq_epi8(v, _mm_set1_epi8('\r')));
    }
    if (escape != Escape::None) {
        special = _mm_or_si128(special, _mm_cmpeq_epi8(v, _mm_set1_epi8('"')));
        special = _mm_or_si128(special, _mm_cmpeq_epi8(v, _mm_set1_epi8('&')));
        special = _mm_or_si128(special, _mm_cmpeq_epi8(v, _mm_set1_epi8('\'')));
        special = _mm_or_si128(special, _mm_cmpeq_epi8(v, _mm_set1_epi8('<')));
        special = _mm_or_si128(special, _mm_cmpeq_epi8(v, _mm_set1_epi8('>')));
    }
    // Bytes >= 0x80 have the top bit set, which the mask picks up as well.
    return _mm_movemask_epi8(_mm_or_si128(special, v)) == 0;
}
#endif

// Writes the UTF-8 (or entity) form of the unit at *u, and of its low surrogate when it
// starts a pair, to out (at most kSlack bytes); advances *u past what it used.
inline char *encodeUnit(const char16_t *&u, const char16_t *e, const EscapeTable *table, char *out)
{
    const char16_t c = *u++;
    if (c < 0x80) {
        if (table && table->entity[c]) {
            std::memcpy(out, table->entity[c], table->length[c]);
            return out + table->length[c];
        }
        *out++ = char(c);
    } else if (c < 0x800) {
        *out++ = char(0xC0 | (c >> 6));
        *out++ = char(0x80 | (c & 0x3F));
    } else if (c >= 0xD800 && c <= 0xDBFF && u < e && *u >= 0xDC00 && *u <= 0xDFFF) {
        const char32_t cp = 0x10000 + ((char32_t(c) - 0xD800) << 10) + (*u++ - 0xDC00);
        *out++ = char(0xF0 | (cp >> 18));
        *out++ = char(0x80 | ((cp >> 12) & 0x3F));
        *out++ = char(0x80 | ((cp >> 6) & 0x3F));
        *out++ = char(0x80 | (cp & 0x3F));
    } else if (c >= 0xD800 && c <= 0xDFFF) {
        // An unpaired surrogate has no UTF-8 form; write U+FFFD as Qt does.
        *out++ = char(0xEF);
        *out++ = char(0xBF);
        *out++ = char(0xBD);
    } else {
        *out++ = char(0xE0 | (c >> 12));
        *out++ = char(0x80 | ((c >> 6) & 0x3F));
        *out++ = char(0x80 | (c & 0x3F));
    }
    return out;
}

// Encodes the written form to UTF-8 in chunks and hands each chunk to `Flush`, so the same
// writer can build the file, compare it with bytes on disk, or just count its length.
template <typename Flush>
class Encoder
{
public:
    explicit Encoder(Flush &flush)
        : m_flush(flush)
    {}

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

    void text(QStringView s, Escape escape)
    {
        const char16_t *u = s.utf16();
        const char16_t *const e = u + s.size();
        const EscapeTable *const table = tableFor(escape);
        while (u < e) {
            if (m_p >= m_end)
                drain();
#ifdef __SSE2__
            // Runs of plain ASCII (most of a file: keys, numbers, encoded blocks) are narrowed
            // eight units at a time.
            while (e - u >= 8 && m_end - m_p >= 8) {
                const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i *>(u));
                if (!plainAscii(v, escape))
                    break;
                _mm_storel_epi64(reinterpret_cast<__m128i *>(m_p), _mm_packus_epi16(v, v));
                m_p += 8;
                u += 8;
            }
            if (u >= e)
                break;
            if (m_p >= m_end)
                drain();
#endif
            m_p = encodeUnit(u, e, table, m_p);
        }
    }

    void text(QLatin1String s, Escape escape)
    {
        const char *u = s.data();
        const char *const e = u + s.size();
        const EscapeTable *const table = tableFor(escape);
        while (u < e) {
            if (m_p >= m_end)
                drain();
#ifdef __SSE2__
            while (e - u >= 16 && m_end - m_p >= 16) {
                const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i *>(u));
                if (!plainBytes(v, escape))
                    break;
                _mm_storeu_si128(reinterpret_cast<__m128i *>(m_p), v);
                m_p += 16;
                u += 16;
            }
            if (u >= e)
                break;
            if (m_p >= m_end)
                drain();
#endif
            const char16_t unit = uchar(*u++);
            const char16_t *at = &unit;
            m_p = encodeUnit(at, at + 1, table, m_p);
        }
    }

    void finish()
    {
        drain();
    }

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

template <typename Out>
void writeText(Out &out, const XsdtText &text, Escape escape)
{
    text.visit([&](auto view) { out.text(view, escape); });
}

template <typename Out>
void writeNode(Out &out, const XsdtNode *node, bool omitMarked)
{
    constexpr Escape kMarkup = Escape::Markup;
    if (omitMarked && node->pendingDelete)
        return;
    if (node->kind == XsdtNode::Group) {
        out.literal("<i k=\"");
        out.text(node->key.view(), kMarkup);
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
    out.text(node->key.view(), kMarkup);
    out.literal("\" t=\"");
    out.text(QStringView(&node->type, 1), kMarkup);
    out.literal("\"");
    if (!node->compression().isEmpty()) {
        out.literal(" c=\"");
        out.text(node->compression(), kMarkup);
        out.literal("\">");
        out.text(node->compressedText(), Escape::None);
        out.literal("</v>");
        return;
    }
    // Values read from the file share their text with originalValue, so most are told apart
    // without comparing a character.
    const bool edited =
        !node->value.sharesData(node->originalValue) && node->value != node->originalValue;
    const Escape valueEscape = node->referencedBreaks || edited ? Escape::Breaks : kMarkup;
    if (!node->textForm) {
        out.literal(" v=\"");
        writeText(out, node->value, valueEscape);
        out.literal("\"/>");
    } else if (node->value.isEmpty() && node->selfClosing) {
        out.literal("/>");
    } else {
        out.literal(">");
        writeText(out, node->value, valueEscape);
        out.literal("</v>");
    }
}

template <typename Out>
void writeDocument(Out &out, const XsdtDocument &doc)
{
    out.text(doc.head, Escape::None);
    for (const auto &child : doc.root.children) {
        if (out.stopped())
            break;
        writeNode(out, child.get(), true);
    }
    out.literal("</xsdt>");
    out.text(doc.tail, Escape::None);
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

// Compares the written form with given bytes as it is produced, without building it, and
// stops at the first difference. Loading a file runs this to tell whether its layout is ours.
class Comparer
{
public:
    explicit Comparer(const QByteArray &expected)
        : m_p(reinterpret_cast<const unsigned char *>(expected.constData()))
        , m_end(m_p + expected.size())
    {}

    bool stopped() const { return m_differs; }
    bool matchedAll() const { return !m_differs && m_p == m_end; }

    void literal(const char *s, qsizetype n)
    {
        if (m_differs || m_end - m_p < n) {
            m_differs = true;
            return;
        }
        for (qsizetype i = 0; i < n; ++i) {
            if (m_p[i] != static_cast<unsigned char>(s[i])) {
                m_differs = true;
                return;
            }
        }
        m_p += n;
    }
    template <qsizetype N>
    void literal(const char (&s)[N])
    {
        literal(s, N - 1);
    }

    void text(QStringView s, Escape escape)
    {
        const char16_t *u = s.utf16();
        const char16_t *const e = u + s.size();
        const EscapeTable *const table = tableFor(escape);
        while (u < e && !m_differs) {
#ifdef __SSE2__
            while (e - u >= 8 && m_end - m_p >= 8) {
                const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i *>(u));
                if (!plainAscii(v, escape))
                    break;
                const __m128i narrow = _mm_packus_epi16(v, v);
                const __m128i file = _mm_loadl_epi64(reinterpret_cast<const __m128i *>(m_p));
                if ((_mm_movemask_epi8(_mm_cmpeq_epi8(narrow, file)) & 0xFF) != 0xFF) {
                    m_differs = true;
                    return;
                }
                m_p += 8;
                u += 8;
            }
            if (u >= e)
                break;
#endif
            const char16_t c = *u++;
            if (c < 0x80 && !(table && table->entity[c])) {
                if (m_p == m_end || *m_p != c) {
                    m_differs = true;
                    return;
                }
                ++m_p;
                continue;
            }
            // Anything else goes through the ordinary encoder's rules.
            --u;
            char buffer[kSlack];
            char *b = encodeUnit(u, e, table, buffer);
            literal(buffer, b - buffer);
        }
    }

    // Only decoded text is compared, which is never kept as Latin-1: kept simple.
    void text(QLatin1String s, Escape escape)
    {
        const QString wide = s;
        text(QStringView(wide), escape);
    }

    void finish() {}

private:
    const unsigned char *m_p;
    const unsigned char *m_end;
    bool m_differs = false;
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
    // One pass into a block sized from the last time this document met its bytes (read or
    // written): counting first would cost as much as writing, and growing from nothing would
    // hold up to half as much again while a save already holds the whole document.
    QByteArray bytes;
    bytes.reserve(m_byteSizeHint + m_byteSizeHint / 64 + 4096);
    AppendFlush append{bytes};
    auto out = std::make_unique<Encoder<AppendFlush>>(append);
    writeDocument(*out, *this);
    m_byteSizeHint = bytes.size();
    return bytes;
}

namespace {

struct SinkFlush
{
    const PieceSink &sink;
    bool refused = false;
    bool stopped() const { return refused; }
    void operator()(const char *data, qsizetype n)
    {
        if (!refused && n > 0)
            refused = !sink(data, n);
    }
};

} // namespace

bool serializeInPieces(const XsdtDocument &document, const PieceSink &sink)
{
    SinkFlush flush{sink};
    auto out = std::make_unique<Encoder<SinkFlush>>(flush);
    writeDocument(*out, document);
    return !flush.refused;
}

bool serializesTo(const XsdtDocument &doc, const QByteArray &bytes)
{
    Comparer compare(bytes);
    writeDocument(compare, doc);
    return compare.matchedAll();
}

} // namespace vrn
