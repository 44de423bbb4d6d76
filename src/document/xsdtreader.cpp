// Reader for exactly the subset of XML that PixInsight writes in its settings files. It keeps
// everything outside the root element verbatim and never decodes compressed values, so that
// the writer can reproduce a compact file byte for byte.

#include "document/stringblocks.h"
#include "document/xsdtdocument.h"
#include "document/xsdtpieces.h"
#include "document/xsdtreader_p.h"
#include "document/xsdtwriter_p.h"

#include <QCoreApplication>
#include <QLocale>
#include <QRegularExpression>
#include <QStringDecoder>

#include <algorithm>
#include <array>
#include <cstring>

#ifdef __SSE2__
#include <emmintrin.h>
#endif
#include <limits>
#include <optional>
#include <string>
#include <string_view>
#include <type_traits>
#include <vector>

namespace vrn {

namespace {

// Real settings files nest a handful of levels. The limit keeps a hostile file from
// exhausting the stack in the reader, the writer or the node destructors.
constexpr int kMaxDepth = 1000;
// Longer values are nearly all unique (block data, history entries): a look-up would only push
// out the short ones that repeat.
constexpr qsizetype kInternedValueLength = 64;

// The reader reads either the decoded text of a file (UTF-16) or, when a save checks the bytes
// it is about to write, those UTF-8 bytes as they stand, so that the check needs no decoded
// copy of the whole file. Markup is ASCII in both, so the same code reads both; these say how
// a piece of input becomes a string, a character or a column.
template <typename Unit>
struct Units;

template <>
struct Units<char16_t>
{
    static QString string(const char16_t *s, qsizetype n)
    {
        return QString(reinterpret_cast<const QChar *>(s), n);
    }
    // The character at s[i] and the units it takes (a surrogate pair counts as one).
    static char32_t at(const char16_t *s, qsizetype i, qsizetype n, qsizetype *width)
    {
        const char16_t c = s[i];
        *width = 1;
        if (QChar::isHighSurrogate(c) && i + 1 < n && QChar::isLowSurrogate(s[i + 1])) {
            *width = 2;
            return QChar::surrogateToUcs4(c, s[i + 1]);
        }
        return c;
    }
    static qsizetype columns(const char16_t *, qsizetype n) { return n; }
};

template <>
struct Units<char>
{
    static QString string(const char *s, qsizetype n)
    {
        // fromUtf8 drops a byte-order mark at the start; anywhere but the file's start it is a
        // character like any other, and the decoded text keeps it.
        QString text = QString::fromUtf8(s, n);
        if (n >= 3 && std::memcmp(s, "\xEF\xBB\xBF", 3) == 0)
            text.prepend(QChar(QChar::ByteOrderMark));
        return text;
    }
    // A sequence that is not UTF-8 stands for U+FFFD, as the decoder makes it.
    static char32_t at(const char *s, qsizetype i, qsizetype n, qsizetype *width)
    {
        const auto *u = reinterpret_cast<const unsigned char *>(s);
        const unsigned char lead = u[i];
        *width = 1;
        const int length = lead < 0x80           ? 1
                           : (lead >> 5) == 0x6  ? 2
                           : (lead >> 4) == 0xE  ? 3
                           : (lead >> 3) == 0x1E ? 4
                                                 : 0;
        if (length == 1)
            return lead;
        if (length == 0 || i + length > n)
            return QChar::ReplacementCharacter;
        char32_t code = lead & (0xFF >> (length + 1));
        for (int k = 1; k < length; ++k) {
            if ((u[i + k] & 0xC0) != 0x80)
                return QChar::ReplacementCharacter;
            code = (code << 6) | (u[i + k] & 0x3F);
        }
        static const char32_t minimum[] = {0, 0, 0x80, 0x800, 0x10000};
        if (code < minimum[length] || code > 0x10FFFF || (code >= 0xD800 && code <= 0xDFFF))
            return QChar::ReplacementCharacter;
        *width = length;
        return code;
    }
    static qsizetype columns(const char *s, qsizetype n) { return string(s, n).size(); }
};

bool isSpaceCharacter(char32_t c)
{
    if (c <= 0x20)
        return c == 0x20 || (c >= 9 && c <= 13);
    if (c < 0x80)
        return false;
    return QChar::isSpace(c);
}

constexpr bool isAsciiNameChar(char32_t c)
{
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-' ||
           c == '.' || c == ':' || c == '_';
}

constexpr auto kAsciiNameChars = [] {
    std::array<bool, 0x80> table{};
    for (char32_t c = 0; c < 0x80; ++c)
        table[c] = isAsciiNameChar(c);
    return table;
}();

template <typename Unit>
using View = std::basic_string_view<Unit>;

template <typename Unit>
bool equals(View<Unit> text, const char *ascii)
{
    const size_t n = std::strlen(ascii);
    if (text.size() != n)
        return false;
    for (size_t i = 0; i < n; ++i) {
        if (text[i] != Unit(ascii[i]))
            return false;
    }
    return true;
}

template <typename Unit>
size_t find(View<Unit> text, const char *ascii, size_t from = 0)
{
    Unit needle[16] = {};
    const size_t n = std::strlen(ascii);
    for (size_t i = 0; i < n; ++i)
        needle[i] = Unit(ascii[i]);
    return text.find(View<Unit>(needle, n), from);
}

// The text of keys and values is carved out of shared blocks, all kept until reading ends.
class TextStore : public StringBlocks
{
public:
    static constexpr qsizetype kLargest = 512; // larger strings get their own block

    TextStore()
        : StringBlocks(kLargest, true)
    {}
};

bool isAscii(const char *from, qsizetype n)
{
    qsizetype i = 0;
#ifdef __SSE2__
    for (; n - i >= 16; i += 16) {
        if (_mm_movemask_epi8(_mm_loadu_si128(reinterpret_cast<const __m128i *>(from + i))))
            return false;
    }
#endif
    for (; i < n; ++i) {
        if (uchar(from[i]) >= 0x80)
            return false;
    }
    return true;
}

// Widens ASCII bytes to UTF-16; false (with `to` partly written) at the first byte that is not.
bool widenAscii(const char *from, qsizetype n, char16_t *to)
{
    qsizetype i = 0;
#ifdef __SSE2__
    const __m128i zero = _mm_setzero_si128();
    for (; n - i >= 16; i += 16) {
        const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i *>(from + i));
        if (_mm_movemask_epi8(v))
            return false;
        _mm_storeu_si128(reinterpret_cast<__m128i *>(to + i), _mm_unpacklo_epi8(v, zero));
        _mm_storeu_si128(reinterpret_cast<__m128i *>(to + i + 8), _mm_unpackhi_epi8(v, zero));
    }
#endif
    for (; i < n; ++i) {
        const auto c = uchar(from[i]);
        if (c >= 0x80)
            return false;
        to[i] = c;
    }
    return true;
}

// ASCII values read from bytes are kept as they stand, in blocks of their own.
class ByteStore : public ByteBlocks
{
public:
    ByteStore()
        : ByteBlocks(TextStore::kLargest)
    {}
};

// Spreads short byte strings over the slots of a cache, eight bytes at a time: every byte,
// wherever it stands, moves the slot (numbered keys differ only in their last bytes).
quint64 hashBytes(const char *s, qsizetype n)
{
    quint64 h = quint64(n) * 0x9E3779B97F4A7C15ULL;
    const auto mix = [&h](quint64 word) {
        const unsigned __int128 product = (unsigned __int128)(h ^ word) * 0xA0761D6478BD642FULL;
        h = quint64(product) ^ quint64(product >> 64);
    };
    qsizetype i = 0;
    for (; n - i >= 8; i += 8) {
        quint64 word;
        std::memcpy(&word, s + i, 8);
        mix(word);
    }
    if (i < n) {
        quint64 word = 0;
        if (n >= 8) {
            std::memcpy(&word, s + n - 8, 8); // the last eight, overlapping the words before
        } else if (n >= 4) {
            quint32 first, last; // overlapping when fewer than eight
            std::memcpy(&first, s, 4);
            std::memcpy(&last, s + n - 4, 4);
            word = quint64(first) << 32 | last;
        } else {
            word = quint64(uchar(s[0])) << 16 | quint64(uchar(s[n / 2])) << 8 | uchar(s[n - 1]);
        }
        mix(word);
    }
    return h;
}

// Whether n bytes at a and b are the same; short strings without a call.
bool sameBytes(const char *a, const char *b, qsizetype n)
{
    if (n > 16)
        return std::memcmp(a, b, size_t(n)) == 0;
    if (n >= 8) {
        quint64 a1, a2, b1, b2; // overlapping when fewer than sixteen
        std::memcpy(&a1, a, 8);
        std::memcpy(&b1, b, 8);
        std::memcpy(&a2, a + n - 8, 8);
        std::memcpy(&b2, b + n - 8, 8);
        return ((a1 ^ b1) | (a2 ^ b2)) == 0;
    }
    if (n >= 4) {
        quint32 a1, a2, b1, b2;
        std::memcpy(&a1, a, 4);
        std::memcpy(&b1, b, 4);
        std::memcpy(&a2, a + n - 4, 4);
        std::memcpy(&b2, b + n - 4, 4);
        return ((a1 ^ b1) | (a2 ^ b2)) == 0;
    }
    for (qsizetype i = 0; i < n; ++i) {
        if (a[i] != b[i])
            return false;
    }
    return true;
}

// Short ASCII values repeat as much as keys do: shared the same way, as Latin-1.
class ByteCache
{
public:
    explicit ByteCache(size_t count)
        : m_slots(count)
        , m_mask(count - 1)
    {}

    // Asks for the slot of a string with this hash ahead of its look-up.
    void prefetch(quint64 hash) const { __builtin_prefetch(&m_slots[hash & m_mask]); }
    const XsdtText &get(const char *text, qsizetype n, ByteStore &store)
    {
        return get(text, n, store, hashBytes(text, n));
    }
    const XsdtText &get(const char *text, qsizetype n, ByteStore &store, quint64 hash)
    {
        XsdtText &slot = m_slots[hash & m_mask];
        if (slot.size() == n && !slot.isNull() && slot.visit([&](auto kept) {
                if constexpr (std::is_same_v<decltype(kept), QLatin1String>)
                    return sameBytes(kept.data(), text, n);
                return false; // an empty text, which is not marked Latin-1: made again
            }))
            return slot;
        slot = XsdtText::fromLatin1(store.copy(std::string_view(text, size_t(n))));
        return slot;
    }

private:
    // Sixteen bytes a slot, so that the table stays in the processor's cache.
    std::vector<XsdtText> m_slots;
    size_t m_mask;
};

// Keys and short values repeat endlessly (Geometry, Visible, true, 0): handing out shared
// copies saves the copy and much of the document's memory. A small direct-mapped cache stays in
// the processor's cache, so a miss costs little more than the copy it would have made anyway,
// and unique strings (history entries) cannot make it grow.
class StringCache
{
public:
    // Room for about one string in 64 bytes of input, up to what stays in the processor's
    // second-level cache: a table sized to a large file's tens of thousands of distinct keys
    // missed that cache at nearly every look-up, which took half the time of reading, while
    // the strings that repeat most come again soon and are caught by a small table as well.
    explicit StringCache(qsizetype inputSize)
    {
        size_t count = 1024;
        while (count < size_t(inputSize / 64) && count < 4096)
            count *= 2;
        m_slots.resize(count);
        m_tags.resize(count);
        m_mask = count - 1;
    }

    XsdtKey get(QStringView text, TextStore &store)
    {
        const qsizetype n = text.size();
        const char16_t *u = text.utf16();
        if (n > TextStore::kLargest)
            return store.copy(text);
        const quint64 h = hash(u, n);
        XsdtKey &slot = m_slots[h & m_mask];
        quint32 &tag = m_tags[h & m_mask];
        if (tag == quint32(h >> 32) && slot.size() == n && !slot.isNull() &&
            std::memcmp(slot.view().utf16(), u, size_t(n) * 2) == 0)
            return slot;
        slot = store.copy(text);
        tag = quint32(h >> 32);
        return slot;
    }
    // The same for ASCII read from bytes, which is what keys and short values almost always are.
    XsdtKey getAscii(const char *text, qsizetype n, TextStore &store)
    {
        return getAscii(text, n, store, hashBytes(text, n));
    }
    void prefetch(quint64 hash) const { __builtin_prefetch(&m_tags[hash & m_mask]); }
    XsdtKey getAscii(const char *text, qsizetype n, TextStore &store, quint64 h)
    {
        const auto make = [&] {
            return store.make(n, [&](char16_t *to) { widenAscii(text, n, to); });
        };
        if (n > TextStore::kLargest)
            return make();
        XsdtKey &slot = m_slots[h & m_mask];
        quint32 &tag = m_tags[h & m_mask];
        if (tag == quint32(h >> 32) && slot.size() == n && !slot.isNull() &&
            sameAscii(slot.view().utf16(), text, n))
            return slot;
        slot = make();
        tag = quint32(h >> 32);
        return slot;
    }

private:
    static bool sameAscii(const char16_t *u, const char *text, qsizetype n)
    {
        qsizetype i = 0;
#ifdef __SSE2__
        const __m128i zero = _mm_setzero_si128();
        for (; n - i >= 8; i += 8) {
            const __m128i bytes = _mm_loadl_epi64(reinterpret_cast<const __m128i *>(text + i));
            const __m128i units = _mm_loadu_si128(reinterpret_cast<const __m128i *>(u + i));
            if (_mm_movemask_epi8(_mm_cmpeq_epi16(_mm_unpacklo_epi8(bytes, zero), units)) != 0xFFFF)
                return false;
        }
#endif
        for (; i < n; ++i) {
            if (u[i] != char16_t(uchar(text[i])))
                return false;
        }
        return true;
    }
    // The whole string decides the slot: keys and paths that differ only in the middle
    // (numbered entries) must not keep pushing each other out.
    static quint64 hash(const char16_t *s, qsizetype n)
    {
        quint64 h = 0xCBF29CE484222325ULL;
        for (qsizetype i = 0; i < n; ++i)
            h = (h ^ quint64(s[i])) * 0x100000001B3ULL;
        return h ^ (h >> 29);
    }

    // Sixteen bytes a slot, so that the table stays in the processor's cache, and apart from
    // them other bits of each string's hash, which tell most other strings apart without a
    // look at the slot or the text.
    std::vector<XsdtKey> m_slots;
    std::vector<quint32> m_tags;
    size_t m_mask;
};

// Short values that are not ASCII repeat like any others, and decoding them looks at every
// character: their text is kept by their UTF-8 bytes.
class DecodedCache
{
public:
    // The text of n bytes of well-formed UTF-8, n at most kInternedValueLength; make() gives it
    // when it is not kept.
    template <typename Make>
    const XsdtText &get(const char *bytes, qsizetype n, Make make)
    {
        Q_ASSERT(n <= kInternedValueLength);
        Slot &slot = m_slots[hashBytes(bytes, n) & (m_slots.size() - 1)];
        if (slot.size != n || !sameBytes(slot.bytes, bytes, n)) {
            slot.text = make();
            slot.size = n;
            std::memcpy(slot.bytes, bytes, size_t(n));
        }
        return slot.text;
    }

private:
    struct Slot
    {
        XsdtText text;
        qsizetype size = -1; // no bytes match
        char bytes[kInternedValueLength];
    };
    std::vector<Slot> m_slots = std::vector<Slot>(2048);
};

// Where the strings of a document being read go: shared through the caches and carved out of
// the store. Without one (a copy that is only compared and dropped) strings are made as usual.
struct Strings
{
    explicit Strings(qsizetype inputSize)
        : keys(inputSize)
        , values(inputSize)
        , asciiValues(4096)
    {}
    TextStore store;
    StringCache keys;
    StringCache values;
    ByteStore bytes;
    ByteCache asciiValues;
    DecodedCache decodedValues;
};

// `wide` says whether bytes may hold more than ASCII; UTF-16 is taken as it stands either way.
QString intern(View<char16_t> raw, StringCache *cache, TextStore *store, bool = true)
{
    const QStringView text(raw.data(), qsizetype(raw.size()));
    if (!store)
        return text.toString();
    return cache ? cache->get(text, *store).toString() : store->copy(text);
}
QString intern(View<char> raw, StringCache *cache, TextStore *store, bool wide = true)
{
    const char *data = raw.data();
    const qsizetype n = qsizetype(raw.size());
    if (store) {
        const bool ascii = !wide || isAscii(data, n);
        if (cache) {
            if (ascii)
                return cache->getAscii(data, n, *store).toString();
        } else if (ascii) {
            return store->make(n, [&](char16_t *to) { widenAscii(data, n, to); });
        }
        return store->copy(Units<char>::string(data, n));
    }
    return Units<char>::string(data, n);
}

void appendTo(QString &out, View<char16_t> raw)
{
    out.append(QStringView(raw.data(), qsizetype(raw.size())));
}
void appendTo(QString &out, View<char> raw)
{
    out.append(Units<char>::string(raw.data(), qsizetype(raw.size())));
}

// Index of the first `stop` unit at or after `from`, or `end`; sets *amp when an '&' was
// passed on the way. Eight units at a time where the processor allows.
// *wide is left alone: only bytes are ever kept as they stand.
qsizetype scanTo(const char16_t *s, qsizetype from, qsizetype end, char16_t stop, bool *amp, bool *,
                 bool *)
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

// The same over bytes, sixteen at a time; it also sets *odd when it passed a character that
// the writer turns into a reference (' < >), which means the file's layout is not ours, and
// *wide when it passed a byte that is not ASCII. All of these are rare: one mask finds the first
// unit that is the stop or any of them, and only a block that holds one of them is looked at
// more closely.
inline __attribute__((always_inline)) qsizetype scanTo(const char *s, qsizetype from, qsizetype end,
                                                       char stop, bool *amp, bool *odd, bool *wide)
{
    // Notes what c is; true when it is the stop.
    const auto passed = [&](char c) {
        if (c == stop)
            return true;
        if (c == '&')
            *amp = true;
        else if (c == '\'' || c == '<' || c == '>')
            *odd = true;
        else if (uchar(c) >= 0x80)
            *wide = true;
        return false;
    };
    qsizetype i = from;
#ifdef __SSE2__
    const __m128i stops = _mm_set1_epi8(stop);
    const __m128i amps = _mm_set1_epi8('&');
    const __m128i apos = _mm_set1_epi8('\'');
    const __m128i lt = _mm_set1_epi8('<');
    const __m128i gt = _mm_set1_epi8('>');
    while (end - i >= 16) {
        const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i *>(s + i));
        const __m128i marks =
            _mm_or_si128(_mm_or_si128(_mm_cmpeq_epi8(v, stops), _mm_cmpeq_epi8(v, amps)),
                         _mm_or_si128(_mm_or_si128(_mm_cmpeq_epi8(v, apos), v),
                                      _mm_or_si128(_mm_cmpeq_epi8(v, lt), _mm_cmpeq_epi8(v, gt))));
        if (const unsigned mask = unsigned(_mm_movemask_epi8(marks))) {
            for (qsizetype at = i + __builtin_ctz(mask); at < i + 16; ++at) {
                if (passed(s[at]))
                    return at;
            }
        }
        i += 16;
    }
#endif
    for (; i < end; ++i) {
        if (passed(s[i]))
            return i;
    }
    return end;
}

template <typename Unit>
struct Tag
{
    View<Unit> name;
    // While a part that is not kept is read, k and v without entities stay raw: only kRaw.
    View<Unit> kRaw;
    XsdtKey k;
    QString c;
    XsdtText v;
    QChar t; // the type's first character
    qsizetype tSize = 0;
    bool hasK = false, hasT = false, hasV = false, hasC = false;
    bool vReferencedBreaks = false; // v held a tab, line feed or carriage return as a reference
    bool closing = false;
    bool selfClosing = false;

    // Ready for the next tag, member by member: building a fresh one clears it with a string
    // instruction that costs about as much as reading a short tag.
    void clear()
    {
        name = {};
        kRaw = {};
        if (!k.isNull())
            k = XsdtKey();
        if (!c.isNull())
            c = QString();
        if (!v.isNull())
            v = XsdtText();
        t = QChar();
        tSize = 0;
        hasK = hasT = hasV = hasC = false;
        vReferencedBreaks = closing = selfClosing = false;
    }
};

class ReaderMessages
{
    Q_DECLARE_TR_FUNCTIONS(vrn::XsdtReader)
};

template <typename Unit>
class Reader
{
    static QString tr(const char *text) { return ReaderMessages::tr(text); }
    using U = Units<Unit>;

public:
    // With `expected`, every element is compared with the tree of `expected` (nodes marked for
    // deletion left out) as soon as it is complete and then dropped, so that checking a file
    // costs no second tree.
    Reader(const Unit *s, qsizetype n, XsdtDocument &doc, const XsdtNode *expected = nullptr)
        : m_s(s)
        , m_n(n)
        , m_doc(doc)
        , m_expected(expected)
        , m_compact(std::is_same_v<Unit, char> && !expected)
    {
        if (!expected)
            m_strings = std::make_unique<Strings>(n);
    }

    bool run();
    // Keeps only the elements on the way to these setting paths and everything below them;
    // the rest is read with every check but nothing is made of it.
    void keepOnly(const QStringList &paths)
    {
        m_only.clear();
        m_compact = false;
        for (const QString &path : paths) {
            const QStringList parts = path.split(QLatin1Char('/'), Qt::SkipEmptyParts);
            if (parts.isEmpty()) { // the root: all of it
                m_only.clear();
                return;
            }
            m_only.append(parts);
        }
    }
    // Reads with every check but keeps nothing: no element is on the way to an empty path.
    void keepNothing()
    {
        m_compact = false;
        m_only = {QStringList()};
    }
    QString error() const { return m_error; }
    // Hands each element read to `sieve`, and drops what it does not keep.
    void siftWith(const XsdtDocument::Sieve &sieve)
    {
        m_sieve = &sieve;
        m_compact = false;
    }
    bool stopped() const { return m_stopped; }
    // Reports progress to `progress` in bytes of a file of `total` bytes (the input may be its
    // decoded text, which has another length).
    void reportTo(const XsdtDocument::Progress &progress, qint64 total)
    {
        if (!progress)
            return;
        m_progress = &progress;
        m_progressTotal = total;
        m_nextReport = 0;
    }
    // Tells `letGo` every few MB which bytes will not be read again. Messages still give the
    // line and column of a fault: the lines and columns of what was let go are counted first.
    void letGoTo(const XsdtDocument::LetGo &letGo)
    {
        if (!letGo)
            return;
        m_letGo = &letGo;
        m_nextReport = 0;
    }
    // After run(): whether the writer gives back exactly the bytes read. Only followed while a
    // document is built from bytes as they stand.
    bool compact() const { return m_compact; }
    // Set when the text read differs from the expected tree: the path where it was found.
    const QString &difference() const { return m_difference; }
    bool differs() const { return m_differs; }

private:
    bool readElements(XsdtNode *parent, int depth, const XsdtNode *expected);
    // What becomes of the element with this key in the group now open, under keepOnly().
    enum class Keep { Skip, OnTheWay, All };
    Keep keepFor(QStringView key) const;
    bool checkRead(XsdtNode *parent, const XsdtNode *expected);
    bool differ(const XsdtNode *at);
    bool readValue(XsdtNode *parent, Tag<Unit> &tag);
    bool readTag(Tag<Unit> &tag);
    bool readAnyTag(Tag<Unit> &tag);
    // A tag as the writer makes it, read in one pass. No: not such a tag, nothing read.
    enum class Plain { Read, Failed, No };
    Plain readPlainTag(Tag<char> &tag);
    // A value as the writer makes it, <v k="…" t="…" v="…"/>, read straight into a new child
    // of `parent`: most elements are such values, and going through a Tag costs as much as
    // reading them. No: not such a value, nothing read.
    Plain readPlainValue(XsdtNode *parent);
    // The start tag of a group as the writer makes it, <i k="…"> or <i k="…"/>: its key.
    Plain readPlainGroup(XsdtKey &key, bool &selfClosing);
    // Reads the group whose start tag was just read, and its closing tag.
    bool readGroup(XsdtNode *parent, int depth, XsdtKey &key, View<Unit> rawKey, bool selfClosing,
                   Keep keep, const XsdtNode *want);
    // Sets *breaks when a character reference stood for a tab, line feed or carriage return.
    bool decode(View<Unit> raw, QString &out, StringCache *cache, bool *breaks = nullptr);
    // The same for a value: ASCII read from bytes is kept as it stands. `hasEntity` and `wide`
    // say what a scan of the bytes may already have ruled out.
    bool decodeValue(View<Unit> raw, XsdtText &out, bool *breaks, bool hasEntity = true,
                     bool wide = true);
    // Decodes the entities of bytes into bytes; false, with nothing changed, for anything
    // unusual, which the general decoding then reads or refuses with its message.
    bool decodeBytes(View<char> raw, XsdtText &out, bool *breaks, bool wide);
    XsdtText asciiValue(const char *text, qsizetype n);
    // The same for a short value of well-formed UTF-8 that is not all ASCII.
    XsdtText wideValue(const char *text, qsizetype n);
    // Strings for the document being built; null while a copy is only compared and dropped.
    TextStore *store() { return m_strings ? &m_strings->store : nullptr; }
    StringCache *keyCache() { return m_strings ? &m_strings->keys : nullptr; }
    StringCache *valueCache() { return m_strings ? &m_strings->values : nullptr; }
    XsdtNode *addNode(XsdtNode *parent, XsdtNode::Kind kind, XsdtKey &&key);
    void adoptPending(XsdtNode *parent, size_t first);
    // Asks the sieve about the value last read, when there is one; false to stop reading.
    bool sift(size_t pendingBefore);
    // Drops the element last read, keeping alive the key a message may still name.
    void dropLast();
    qsizetype readName();
    // The units of the space character at `i`, 0 when there is none.
    qsizetype spaceAt(qsizetype i) const
    {
        const auto unit = std::make_unsigned_t<Unit>(m_s[i]);
        if (unit < 0x80)
            return isSpaceCharacter(unit) ? 1 : 0;
        qsizetype width = 1;
        return isSpaceCharacter(U::at(m_s, i, m_n, &width)) ? width : 0;
    }
    void skipSpace()
    {
        while (m_pos < m_n) {
            const auto unit = std::make_unsigned_t<Unit>(m_s[m_pos]);
            if (unit > 0x20 && unit < 0x80) // markup, nearly always
                return;
            const qsizetype width = spaceAt(m_pos);
            if (width == 0)
                return;
            m_pos += width;
        }
    }
    // The writer puts nothing between elements.
    void skipSpaceBetweenElements()
    {
        if (m_pos < m_n && m_s[m_pos] == Unit('<')) // the writer's layout: nothing to skip
            return;
        const qsizetype start = m_pos;
        skipSpace();
        if (m_pos != start)
            m_compact = false;
    }
    // Leaves the compact layout when the raw text of a value holds a character that the writer
    // turns into a reference: the markup characters, and with `breaks` tab, line feed and
    // carriage return too. Entities are checked while they are decoded.
    void checkRawText(View<Unit> raw, bool breaks)
    {
        for (const Unit c : raw) {
            if (c == Unit('"') || c == Unit('\'') || c == Unit('<') || c == Unit('>') ||
                (breaks && (c == Unit('\t') || c == Unit('\n') || c == Unit('\r')))) {
                m_compact = false;
                return;
            }
        }
    }
    View<Unit> rest() const { return View<Unit>(m_s + m_pos, size_t(m_n - m_pos)); }
    bool fail(const QString &message);
    bool failUnpositioned(const QString &message);
    void report()
    {
        m_nextReport = m_pos + kProgressStep;
        if (m_letGo)
            tallyUpTo(m_pos - kLetGoLag);
        if (!m_progress)
            return;
        const qint64 done =
            qint64(m_pos) == m_n ? m_progressTotal : qint64(m_pos) * m_progressTotal / qMax(m_n, 1);
        (*m_progress)(done, m_progressTotal);
    }
    // Counts the lines and columns of the bytes up to `end` (moved back to the start of a
    // character), then lets them go.
    void tallyUpTo(qsizetype end)
    {
        if constexpr (std::is_same_v<Unit, char>) {
            while (end > m_tallied && (uchar(m_s[end]) & 0xC0) == 0x80)
                --end;
            if (end <= m_tallied)
                return;
            qsizetype lineStart = m_tallied;
            for (const char *at = m_s + m_tallied, *stop = m_s + end;;) {
                at = static_cast<const char *>(std::memchr(at, '\n', size_t(stop - at)));
                if (!at)
                    break;
                ++m_talliedLines;
                lineStart = ++at - m_s;
                m_talliedColumns = 0;
            }
            // Read in place, the bytes are well-formed UTF-8: a character is one UTF-16 unit,
            // or two from a four-byte sequence on.
            const auto units = [](uchar c) { return ((c & 0xC0) != 0x80) + (c >= 0xF0); };
            qsizetype columns = 0;
            qsizetype i = lineStart;
#ifdef __SSE2__
            // Sixteen bytes of ASCII at a time: a file of one long line is counted whole.
            for (; end - i >= 16; i += 16) {
                const __m128i bytes = _mm_loadu_si128(reinterpret_cast<const __m128i *>(m_s + i));
                if (_mm_movemask_epi8(bytes) == 0) {
                    columns += 16;
                    continue;
                }
                for (int k = 0; k < 16; ++k)
                    columns += units(uchar(m_s[i + k]));
            }
#endif
            for (; i < end; ++i)
                columns += units(uchar(m_s[i]));
            m_talliedColumns += columns;
            m_tallied = end;
            (*m_letGo)(end);
        }
    }

    const Unit *m_s;
    qsizetype m_n;
    qsizetype m_pos = 0;
    XsdtDocument &m_doc;
    const XsdtNode *m_expected;
    bool m_compact;
    QString m_difference;
    bool m_differs = false;
    // Views into keys held by the nodes being built, for error messages.
    // A key named in messages: a string, or for what is read but not kept, the raw text.
    struct ContextKey
    {
        QStringView key;
        View<Unit> raw;
    };
    std::vector<ContextKey> m_context;
    QStringView m_currentKey;
    View<Unit> m_currentRawKey;
    QList<QStringList> m_only; // empty: everything is kept
    int m_keepAll = 0;         // inside an element that keepOnly() asked for
    int m_skipping = 0;        // inside an element that is read but not kept
    // Keys with entities of elements not kept, which messages may still name: few.
    std::vector<QString> m_keptAlive;
    QString m_error;
    std::unique_ptr<Strings> m_strings;
    // Reading is reported each time it passes m_nextReport, which stays out of reach without a
    // callback.
    static constexpr qsizetype kProgressStep = 2 * 1024 * 1024;
    const XsdtDocument::Progress *m_progress = nullptr;
    qint64 m_progressTotal = 0;
    // Bytes are let go of this far behind the element being read, which stays whole.
    static constexpr qsizetype kLetGoLag = 1024 * 1024;
    const XsdtDocument::LetGo *m_letGo = nullptr;
    qsizetype m_tallied = 0;        // the bytes before this were counted and may be gone
    qsizetype m_talliedLines = 0;   // line feeds among them
    qsizetype m_talliedColumns = 0; // characters after the last of them
    qsizetype m_nextReport = std::numeric_limits<qsizetype>::max();
    // Elements read but not yet handed to their parent: each group gets its children in one
    // block of the exact size once it is complete.
    std::vector<std::unique_ptr<XsdtNode>> m_pending;
    std::string m_decoded; // room for values being decoded
    const XsdtDocument::Sieve *m_sieve = nullptr;
    XsdtKey m_droppedKey; // the key of an element dropped that m_currentKey still views
    bool m_stopped = false;
};

template <typename Unit>
XsdtNode *Reader<Unit>::addNode(XsdtNode *parent, XsdtNode::Kind kind, XsdtKey &&key)
{
    auto node = std::make_unique<XsdtNode>();
    node->kind = kind;
    node->key = std::move(key);
    node->parent = parent;
    m_pending.push_back(std::move(node));
    return m_pending.back().get();
}

template <typename Unit>
void Reader<Unit>::adoptPending(XsdtNode *parent, size_t first)
{
    const size_t count = m_pending.size() - first;
    if (count == 0)
        return;
    parent->children.reserve(parent->children.size() + count);
    for (size_t i = first; i < m_pending.size(); ++i)
        parent->children.push_back(std::move(m_pending[i]));
    m_pending.resize(first);
}

// A value is asked about once read; a group once complete, in readGroup().
template <typename Unit>
bool Reader<Unit>::sift(size_t pendingBefore)
{
    if (!m_sieve || m_pending.size() == pendingBefore)
        return true;
    const XsdtDocument::Sift sifted = (*m_sieve)(*m_pending.back());
    if (sifted == XsdtDocument::Sift::Keep)
        return true;
    dropLast();
    m_stopped = sifted == XsdtDocument::Sift::Stop;
    return !m_stopped;
}

template <typename Unit>
void Reader<Unit>::dropLast()
{
    XsdtKey &key = m_pending.back()->key;
    if (!m_currentKey.isEmpty() && m_currentKey.data() == key.view().data()) {
        m_droppedKey = std::move(key);
        m_currentKey = m_droppedKey.view();
    }
    m_pending.pop_back();
}

template <typename Unit>
bool Reader<Unit>::fail(const QString &message)
{
    if (!m_error.isEmpty())
        return false;
    qsizetype line = 1 + m_talliedLines;
    qsizetype lineStart = m_tallied;
    qsizetype columnsBefore = m_talliedColumns;
    const qsizetype end = qMin(m_pos, m_n);
    for (qsizetype i = m_tallied; i < end; ++i) {
        if (m_s[i] == Unit('\n')) {
            ++line;
            lineStart = i + 1;
            columnsBefore = 0;
        }
    }
    const qsizetype column = columnsBefore + U::columns(m_s + lineStart, end - lineStart) + 1;
    QStringList where;
    for (const ContextKey &key : m_context)
        where.append(key.raw.empty() ? key.key.toString()
                                     : U::string(key.raw.data(), qsizetype(key.raw.size())));
    if (!m_currentKey.isEmpty())
        where.append(m_currentKey.toString());
    else if (!m_currentRawKey.empty())
        where.append(U::string(m_currentRawKey.data(), qsizetype(m_currentRawKey.size())));
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

template <typename Unit>
bool Reader<Unit>::failUnpositioned(const QString &message)
{
    if (m_error.isEmpty())
        m_error = message;
    return false;
}

template <typename Unit>
bool Reader<Unit>::run()
{
    const View<Unit> text(m_s, size_t(m_n));
    const size_t start = find(text, "<xsdt");
    if (start == text.npos)
        return failUnpositioned(tr("Not a PixInsight settings file (no <xsdt> element)."));
    const size_t gt = text.find(Unit('>'), start + 5);
    if (gt == text.npos || m_s[gt - 1] == Unit('/'))
        return failUnpositioned(tr("The <xsdt> element is empty or malformed."));
    m_doc.head = U::string(m_s, qsizetype(gt + 1));
    m_pos = qsizetype(gt + 1);

    if (!readElements(&m_doc.root, 0, m_expected))
        return false;
    Tag<Unit> closing;
    if (!readTag(closing))
        return false;
    if (!closing.closing || !equals(closing.name, "xsdt"))
        return fail(tr("expected </xsdt>"));

    for (qsizetype i = m_pos; i < m_n;) {
        const qsizetype width = spaceAt(i);
        if (width == 0)
            return failUnpositioned(tr("Unexpected content after </xsdt>."));
        i += width;
    }
    m_doc.tail = U::string(m_s + m_pos, m_n - m_pos);
    if (m_progress) {
        m_pos = m_n;
        report();
    }
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

template <typename Unit>
bool Reader<Unit>::differ(const XsdtNode *at)
{
    m_differs = true;
    m_difference = at->path();
    return false;
}

// Compares the element just read (the last child of `parent`) with the one `expected` holds
// in that place, then drops it.
template <typename Unit>
bool Reader<Unit>::checkRead(XsdtNode *parent, const XsdtNode *expected)
{
    Q_UNUSED(parent);
    const XsdtNode &read = *m_pending.back();
    const XsdtNode &want = *expected;
    bool same = read.kind == want.kind && read.key == want.key;
    if (same && read.kind == XsdtNode::Value)
        same = read.type == want.type && read.value == want.value &&
               read.compression() == want.compression() &&
               read.compressedText() == want.compressedText();
    if (!same)
        return differ(expected);
    m_currentKey = QStringView(); // it viewed the dropped node's key
    m_pending.pop_back();
    return true;
}

template <typename Unit>
typename Reader<Unit>::Keep Reader<Unit>::keepFor(QStringView key) const
{
    if (m_only.isEmpty() || m_keepAll)
        return Keep::All;
    // Every group open here is on the way to at least one of the paths.
    const size_t depth = m_context.size();
    Keep keep = Keep::Skip;
    for (const QStringList &parts : m_only) {
        if (size_t(parts.size()) <= depth || parts.at(qsizetype(depth)) != key)
            continue;
        bool same = true;
        for (size_t i = 0; same && i < depth; ++i)
            same = parts.at(qsizetype(i)) == m_context[i].key;
        if (!same)
            continue;
        if (size_t(parts.size()) == depth + 1)
            return Keep::All;
        keep = Keep::OnTheWay;
    }
    return keep;
}

template <typename Unit>
bool Reader<Unit>::readElements(XsdtNode *parent, int depth, const XsdtNode *expected)
{
    size_t next = 0;
    const size_t first = m_pending.size();
    // Made only for an element that the plain readings leave to readTag: building and tearing
    // down a tag for every group cost about as much as reading one of its values.
    std::optional<Tag<Unit>> slowTag;
    for (;;) {
        if (m_pos >= m_nextReport)
            report();
        skipSpaceBetweenElements();
        if (m_pos >= m_n)
            return fail(tr("unexpected end of file"));
        if (m_s[m_pos] == Unit('<') && m_pos + 1 < m_n && m_s[m_pos + 1] == Unit('/')) {
            if (expected && nextWritten(expected, &next))
                return differ(expected);
            adoptPending(parent, first);
            return true;
        }

        m_currentKey = QStringView();
        m_currentRawKey = View<Unit>();
        if constexpr (std::is_same_v<Unit, char>) {
            // Only while everything read is kept as it is: nothing to compare, nothing skipped.
            if (!expected && !m_skipping && (m_only.isEmpty() || m_keepAll)) {
                const size_t before = m_pending.size();
                const Plain plain = readPlainValue(parent);
                if (plain != Plain::No) {
                    if (plain == Plain::Failed || !sift(before))
                        return false;
                    continue;
                }
                XsdtKey key;
                bool selfClosing = false;
                if (readPlainGroup(key, selfClosing) == Plain::Read) {
                    if (!readGroup(parent, depth, key, {}, selfClosing, Keep::All, nullptr))
                        return false;
                    continue;
                }
            }
        }
        Tag<Unit> &tag = slowTag ? *slowTag : slowTag.emplace();
        tag.clear();
        if (!readTag(tag))
            return false;

        const XsdtNode *want = nullptr;
        if (expected) {
            want = nextWritten(expected, &next);
            if (!want)
                return differ(expected);
        }
        const Unit element = tag.name.size() == 1 ? tag.name[0] : Unit(0);
        const Keep keep = m_skipping ? Keep::Skip : keepFor(tag.k.view());
        // A message may name the key after its element is done; no node keeps this one.
        if (keep == Keep::Skip && !m_skipping)
            m_keptAlive.push_back(tag.k.toString());
        if (element == Unit('i')) {
            if (!tag.hasK || tag.hasT || tag.hasV || tag.hasC)
                return fail(tr("malformed <i> element"));
            if (!readGroup(parent, depth, tag.k, tag.kRaw, tag.selfClosing, keep, want))
                return false;
            continue;
        }
        if (element == Unit('v')) {
            const size_t before = m_pending.size();
            if (!readValue(keep == Keep::Skip ? nullptr : parent, tag) || !sift(before))
                return false;
            if (want && !checkRead(parent, want))
                return false;
            continue;
        }
        return fail(tr("unexpected element <%1>")
                        .arg(U::string(tag.name.data(), qsizetype(tag.name.size()))));
    }
}

template <typename Unit>
bool Reader<Unit>::readGroup(XsdtNode *parent, int depth, XsdtKey &key, View<Unit> rawKey,
                             bool selfClosing, Keep keep, const XsdtNode *want)
{
    XsdtNode *group = nullptr; // null while the group is read but not kept
    if (keep != Keep::Skip) {
        group = addNode(parent, XsdtNode::Group, std::move(key));
        group->selfClosing = selfClosing;
        if (want && (want->kind != XsdtNode::Group || want->key != group->key))
            return differ(want);
    }
    if (!selfClosing) {
        if (depth + 1 > kMaxDepth)
            return fail(ReaderMessages::tr("elements nested too deeply (more than %1 levels)")
                            .arg(kMaxDepth));
        m_context.push_back(group ? ContextKey{group->key.view(), {}}
                                  : ContextKey{key.view(), rawKey});
        m_keepAll += keep == Keep::All ? 1 : 0;
        m_skipping += group ? 0 : 1;
        const bool read = readElements(group, depth + 1, want);
        m_keepAll -= keep == Keep::All ? 1 : 0;
        m_skipping -= group ? 0 : 1;
        if (!read)
            return false;
        m_context.pop_back();
        if (m_n - m_pos >= 4 && m_s[m_pos] == Unit('<') && m_s[m_pos + 1] == Unit('/') &&
            m_s[m_pos + 2] == Unit('i') && m_s[m_pos + 3] == Unit('>')) {
            m_pos += 4; // the writer's own closing tag, which needs no further look
        } else {
            Tag<Unit> closing;
            if (!readTag(closing))
                return false;
            if (!closing.closing || !equals(closing.name, "i"))
                return fail(tr("expected </i>"));
        }
    } else if (want) {
        size_t first = 0;
        if (nextWritten(want, &first)) // an empty group where one with children belongs
            return differ(want);
    }
    if (want && !checkRead(parent, want))
        return false;
    if (m_sieve && group) {
        const XsdtDocument::Sift sifted = (*m_sieve)(*group);
        m_stopped = sifted == XsdtDocument::Sift::Stop;
        if (sifted != XsdtDocument::Sift::Keep && group->children.empty())
            dropLast();
        return !m_stopped;
    }
    return true;
}

template <typename Unit>
bool Reader<Unit>::readValue(XsdtNode *parent, Tag<Unit> &tag)
{
    // One copy per thread: files may be read on several threads at once, and a
    // QRegularExpression is only safe to use from one thread at a time.
    thread_local const QRegularExpression blocks(
        QStringLiteral(R"re(^(?:\s*<s\s+u="\d+"\s*>[A-Za-z0-9+/=\s]*</s>)+\s*$)re"));
    thread_local const QRegularExpression blockSize(QStringLiteral(R"re(<s\s+u="(\d+)")re"));

    if (!tag.hasK || !tag.hasT || tag.tSize != 1)
        return fail(tr("malformed <v> element"));

    if (!tag.hasC) {
        if (tag.selfClosing) {
            if (!tag.hasV)
                return fail(tr("<v> element without a value"));
            if (!parent) // read, not kept
                return true;
            XsdtNode *node = addNode(parent, XsdtNode::Value, std::move(tag.k));
            node->type = tag.t;
            node->originalValue = std::move(tag.v);
            node->selfClosing = true;
            node->referencedBreaks = tag.vReferencedBreaks;
            return true;
        }
        if (tag.hasV)
            return fail(tr("<v> element with both an attribute and a text value"));
        // One forward scan finds both the end tag and any markup before it.
        const View<Unit> after = rest();
        const size_t lt = after.find(Unit('<'));
        size_t end = after.npos;
        if (lt != after.npos && equals(after.substr(lt, 4), "</v>")) {
            end = lt;
        } else {
            const size_t found = lt == after.npos ? after.npos : find(after, "</v>", lt);
            if (found == after.npos)
                return fail(tr("unterminated <v> element"));
            return fail(tr("markup inside a <v> text value"));
        }
        XsdtText decoded;
        bool breaks = false;
        if (!decodeValue(after.substr(0, end), decoded, &breaks))
            return false;
        if (m_compact)
            checkRawText(after.substr(0, end), breaks);
        if (!parent) {
            m_pos += qsizetype(end) + 4;
            return true;
        }
        XsdtNode *node = addNode(parent, XsdtNode::Value, std::move(tag.k));
        node->type = tag.t;
        node->originalValue = std::move(decoded);
        node->textForm = true;
        node->referencedBreaks = breaks;
        m_pos += qsizetype(end) + 4;
        return true;
    }

    // A compressed value with an empty algorithm name could not be written back as one, so
    // its blocks would be lost on save: refuse it like any other malformed compressed value.
    if (tag.selfClosing || tag.hasV || tag.c.isEmpty())
        return fail(tr("malformed compressed <v> element"));
    const View<Unit> after = rest();
    const size_t end = find(after, "</v>");
    if (end == after.npos)
        return fail(tr("unterminated <v> element"));
    QString content = U::string(after.data(), qsizetype(end));
    if (!blocks.match(content).hasMatch())
        return fail(tr("unsupported content in a compressed <v> element"));

    if (!parent) {
        m_pos += qsizetype(end) + 4;
        return true;
    }
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
    XsdtNode *node = addNode(parent, XsdtNode::Value, XsdtKey(tag.k));
    node->type = tag.t;
    node->textForm = true;
    node->setCompressed(tag.c, std::move(content));
    node->originalValue = ReaderMessages::tr("(compressed %1 block, %2 uncompressed)")
                              .arg(tag.c, QLocale().formattedDataSize(total, 2));
    m_pos += qsizetype(end) + 4;
    return true;
}

template <typename Unit>
qsizetype Reader<Unit>::readName()
{
    const qsizetype start = m_pos;
    // Names are nearly always ASCII: a look-up a unit, and the full test only past that.
    for (; m_pos < m_n; ++m_pos) {
        const auto unit = std::make_unsigned_t<Unit>(m_s[m_pos]);
        if (unit >= 0x80)
            break;
        if (!kAsciiNameChars[unit])
            return m_pos - start;
    }
    while (m_pos < m_n) {
        qsizetype width = 1;
        const char32_t c = U::at(m_s, m_pos, m_n, &width);
        const bool nameChar =
            c < 0x80 ? isAsciiNameChar(c) : QChar::isLetter(c) || QChar::isDigit(c);
        if (!nameChar)
            break;
        m_pos += width;
    }
    return m_pos - start;
}

template <typename Unit>
bool Reader<Unit>::readTag(Tag<Unit> &tag)
{
    if constexpr (std::is_same_v<Unit, char>) {
        const Plain plain = readPlainTag(tag);
        if (plain != Plain::No)
            return plain == Plain::Read;
    }
    return readAnyTag(tag);
}

// The writer's own layout: '<', a name, then k, t and v each after one space and quoted with
// '"', then '>' or "/>"; or a closing tag. Anything else, and anything that needs a message, is
// left to readAnyTag, which reads the same tag to the same result with every check.
template <typename Unit>
typename Reader<Unit>::Plain Reader<Unit>::readPlainTag(Tag<char> &tag)
{
    const char *s = m_s;
    const qsizetype n = m_n;
    qsizetype pos = m_pos;
    if (m_skipping || n - pos < 4 || s[pos] != '<')
        return Plain::No;
    ++pos;
    const bool closing = s[pos] == '/';
    pos += closing ? 1 : 0;
    const qsizetype nameStart = pos;
    while (pos < n && uchar(s[pos]) < 0x80 && kAsciiNameChars[uchar(s[pos])])
        ++pos;
    if (pos == nameStart || pos + 1 >= n || uchar(s[pos]) >= 0x80)
        return Plain::No;
    const View<char> name(s + nameStart, size_t(pos - nameStart));

    // The whole tag is scanned before anything is made of it: nothing to undo when it turns
    // out not to be plain, and the cache slots of its key and value are fetched meanwhile.
    // Set as each is read; left uninitialised before, as clearing them would cost more.
    struct Attribute
    {
        View<char> raw;
        quint64 hash;
        bool hasEntity;
        bool wide;
    };
    static constexpr char kOrder[] = {'k', 't', 'v'};
    Attribute attributes[3];
    int count = 0;
    bool odd = false;
    bool selfClosing = false;
    qsizetype valueEnd = 0;
    for (;;) {
        if (s[pos] == '>') {
            ++pos;
            break;
        }
        if (s[pos] == '/') {
            if (closing || pos + 1 >= n || s[pos + 1] != '>')
                return Plain::No;
            selfClosing = true;
            pos += 2;
            break;
        }
        // One space, a one-letter name in the writer's order, '=' and '"'.
        if (closing || count > 2 || n - pos < 5 || s[pos] != ' ' || s[pos + 1] != kOrder[count] ||
            s[pos + 2] != '=' || s[pos + 3] != '"')
            return Plain::No;
        Attribute &a = attributes[count];
        a.hasEntity = false;
        a.wide = false;
        a.hash = 0;
        const qsizetype close = scanTo(s, pos + 4, n, '"', &a.hasEntity, &odd, &a.wide);
        if (close + 1 >= n)
            return Plain::No;
        a.raw = View<char>(s + pos + 4, size_t(close - pos - 4));
        pos = close + 1;
        const qsizetype size = qsizetype(a.raw.size());
        if (count == 0) {
            if (a.hasEntity)
                return Plain::No;
            if (m_strings && !a.wide) {
                a.hash = hashBytes(a.raw.data(), size);
                m_strings->keys.prefetch(a.hash);
            }
        } else if (count == 1) {
            if (size != 1 || uchar(a.raw[0]) >= 0x80 || a.raw[0] == '&')
                return Plain::No;
        } else {
            valueEnd = pos;
            if (m_strings && !a.hasEntity && !a.wide && size <= kInternedValueLength) {
                a.hash = hashBytes(a.raw.data(), size);
                m_strings->asciiValues.prefetch(a.hash);
            }
        }
        ++count;
    }

    tag.name = name;
    tag.closing = closing;
    tag.selfClosing = selfClosing;
    if (count > 0) {
        const Attribute &k = attributes[0];
        if (m_strings && !k.wide)
            tag.k = m_strings->keys.getAscii(k.raw.data(), qsizetype(k.raw.size()),
                                             m_strings->store, k.hash);
        else
            tag.k = intern(k.raw, keyCache(), store(), k.wide);
        tag.hasK = true;
        m_currentKey = tag.k.view();
        m_currentRawKey = View<char>();
    }
    if (count > 1) {
        tag.t = QChar(char16_t(attributes[1].raw[0]));
        tag.tSize = 1;
        tag.hasT = true;
    }
    if (count > 2) {
        const Attribute &v = attributes[2];
        const qsizetype size = qsizetype(v.raw.size());
        tag.hasV = true;
        if (m_strings && !v.hasEntity && !v.wide && size <= kInternedValueLength) {
            tag.v = m_strings->asciiValues.get(v.raw.data(), size, m_strings->bytes, v.hash);
        } else {
            m_pos = valueEnd; // where a message about the value points
            if (!decodeValue(v.raw, tag.v, &tag.vReferencedBreaks, v.hasEntity, v.wide))
                return Plain::Failed;
        }
    }
    if (odd)
        m_compact = false;
    m_pos = pos;
    return Plain::Read;
}

template <typename Unit>
typename Reader<Unit>::Plain Reader<Unit>::readPlainValue(XsdtNode *parent)
{
    const char *s = m_s;
    const qsizetype n = m_n;
    const qsizetype keyStart = m_pos + 6;
    if (!m_strings || n - keyStart < 16 || std::memcmp(s + m_pos, "<v k=\"", 6) != 0)
        return Plain::No;
    bool odd = false;
    bool keyEntity = false;
    bool keyWide = false;
    const qsizetype keyEnd = scanTo(s, keyStart, n, '"', &keyEntity, &odd, &keyWide);
    // The type is one character that needs no reference; anything else is left to readTag.
    if (keyEntity || keyWide || n - keyEnd < 12 || std::memcmp(s + keyEnd, "\" t=\"", 5) != 0 ||
        std::memcmp(s + keyEnd + 6, "\" v=\"", 5) != 0)
        return Plain::No;
    const char type = s[keyEnd + 5];
    if (uchar(type) >= 0x80 || type == '&' || type == '"' || type == '\'' || type == '<' ||
        type == '>')
        return Plain::No;
    const qsizetype keySize = keyEnd - keyStart;
    const quint64 keyHash = hashBytes(s + keyStart, keySize);
    m_strings->keys.prefetch(keyHash);

    const qsizetype valueStart = keyEnd + 11;
    bool valueEntity = false;
    bool valueWide = false;
    const qsizetype valueEnd = scanTo(s, valueStart, n, '"', &valueEntity, &odd, &valueWide);
    if (n - valueEnd < 3 || s[valueEnd + 1] != '/' || s[valueEnd + 2] != '>')
        return Plain::No;
    const qsizetype valueSize = valueEnd - valueStart;
    const bool shared = !valueEntity && !valueWide && valueSize <= kInternedValueLength;
    quint64 valueHash = 0;
    if (shared) {
        valueHash = hashBytes(s + valueStart, valueSize);
        m_strings->asciiValues.prefetch(valueHash);
    }

    XsdtNode *node =
        addNode(parent, XsdtNode::Value,
                m_strings->keys.getAscii(s + keyStart, keySize, m_strings->store, keyHash));
    node->type = QChar(char16_t(type));
    node->selfClosing = true;
    m_currentKey = node->key.view();
    if (shared) {
        node->originalValue =
            m_strings->asciiValues.get(s + valueStart, valueSize, m_strings->bytes, valueHash);
    } else {
        m_pos = valueEnd + 1; // where a message about the value points
        bool breaks = false;
        if (!decodeValue(View<char>(s + valueStart, size_t(valueSize)), node->originalValue,
                         &breaks, valueEntity, valueWide))
            return Plain::Failed;
        node->referencedBreaks = breaks;
    }
    if (odd)
        m_compact = false;
    m_pos = valueEnd + 3;
    return Plain::Read;
}

template <typename Unit>
typename Reader<Unit>::Plain Reader<Unit>::readPlainGroup(XsdtKey &key, bool &selfClosing)
{
    const char *s = m_s;
    const qsizetype n = m_n;
    const qsizetype keyStart = m_pos + 6;
    if (!m_strings || n - keyStart < 3 || std::memcmp(s + m_pos, "<i k=\"", 6) != 0)
        return Plain::No;
    bool odd = false;
    bool keyEntity = false;
    bool keyWide = false;
    const qsizetype keyEnd = scanTo(s, keyStart, n, '"', &keyEntity, &odd, &keyWide);
    if (keyEntity || keyWide || n - keyEnd < 3)
        return Plain::No;
    qsizetype end = keyEnd + 2;
    if (s[keyEnd + 1] == '/' && s[keyEnd + 2] == '>')
        ++end;
    else if (s[keyEnd + 1] != '>')
        return Plain::No;
    selfClosing = end == keyEnd + 3;
    key = m_strings->keys.getAscii(s + keyStart, keyEnd - keyStart, m_strings->store);
    m_currentKey = key.view();
    if (odd)
        m_compact = false;
    m_pos = end;
    return Plain::Read;
}

template <typename Unit>
bool Reader<Unit>::readAnyTag(Tag<Unit> &tag)
{
    skipSpaceBetweenElements();
    if (m_pos >= m_n || m_s[m_pos] != Unit('<'))
        return fail(tr("expected '<'"));
    ++m_pos;
    if (m_pos < m_n && m_s[m_pos] == Unit('/')) {
        tag.closing = true;
        ++m_pos;
    }
    const qsizetype nameStart = m_pos;
    if (readName() == 0)
        return fail(tr("expected an element name"));
    tag.name = View<Unit>(m_s + nameStart, size_t(m_pos - nameStart));

    // The writer puts k, t and then v or c in that order, each after one space.
    int attributes = 0;
    for (;;) {
        const qsizetype spaceStart = m_pos;
        skipSpace();
        if (m_pos >= m_n)
            return fail(tr("unexpected end of file inside a tag"));
        const Unit c = m_s[m_pos];
        if (c == Unit('>') || c == Unit('/')) {
            if (m_pos != spaceStart)
                m_compact = false;
        } else if (m_pos != spaceStart + 1 || m_s[spaceStart] != Unit(' ')) {
            m_compact = false;
        }
        if (c == Unit('>')) {
            ++m_pos;
            return true;
        }
        if (c == Unit('/')) {
            if (!tag.closing && m_pos + 1 < m_n && m_s[m_pos + 1] == Unit('>')) {
                tag.selfClosing = true;
                m_pos += 2;
                return true;
            }
            return fail(tr("malformed tag"));
        }
        if (tag.closing)
            return fail(tr("unexpected content in closing tag"));

        const qsizetype attrStart = m_pos;
        const auto first = std::make_unsigned_t<Unit>(m_s[m_pos]);
        // Attribute names are one letter right before '=': no loop for them.
        if (m_pos + 1 < m_n && m_s[m_pos + 1] == Unit('=') && first < 0x80 &&
            kAsciiNameChars[first])
            ++m_pos;
        else if (readName() == 0)
            return fail(tr("malformed attribute"));
        const View<Unit> attr(m_s + attrStart, size_t(m_pos - attrStart));
        const qsizetype equalsAt = m_pos;
        skipSpace();
        if (m_pos >= m_n || m_s[m_pos] != Unit('='))
            return fail(tr("expected '=' after attribute name"));
        ++m_pos;
        skipSpace();
        if (m_pos >= m_n || (m_s[m_pos] != Unit('"') && m_s[m_pos] != Unit('\'')))
            return fail(tr("expected a quoted attribute value"));
        const Unit quote = m_s[m_pos];
        const Unit name = attr.size() == 1 ? attr[0] : Unit(0);
        if (m_compact) {
            const Unit expected = attributes == 0 ? Unit('k') : attributes == 1 ? Unit('t') : name;
            if (m_pos != equalsAt + 1 || quote != Unit('"') || name != expected || attributes > 2 ||
                (attributes == 2 && name != Unit('v') && name != Unit('c')))
                m_compact = false;
        }
        ++attributes;
        bool hasEntity = false;
        bool odd = false;
        bool wide = false;
        const qsizetype close = scanTo(m_s, m_pos + 1, m_n, quote, &hasEntity, &odd, &wide);
        if (close >= m_n)
            return fail(tr("unterminated attribute value"));
        if (odd)
            m_compact = false;
        const View<Unit> raw(m_s + m_pos + 1, size_t(close - m_pos - 1));
        m_pos = close + 1;
        if (name == Unit('t') && !hasEntity && raw.size() == 1 &&
            std::make_unsigned_t<Unit>(raw[0]) < 0x80) {
            // One ASCII character, as nearly every type is: no string needed.
            tag.t = QChar(char16_t(raw[0]));
            tag.tSize = 1;
            tag.hasT = true;
            continue;
        }
        StringCache *cache = name == Unit('k')                               ? keyCache()
                             : qsizetype(raw.size()) <= kInternedValueLength ? valueCache()
                                                                             : nullptr;
        if (name == Unit('v')) {
            tag.hasV = true;
            if (m_skipping && !hasEntity)
                continue; // nothing is made of what is not kept
            if (!decodeValue(raw, tag.v, &tag.vReferencedBreaks, hasEntity, wide))
                return false;
            continue;
        }
        if (m_skipping && !hasEntity && name == Unit('k')) {
            // Nothing is made of what is not kept; the key is named only in a message.
            tag.k = XsdtKey();
            tag.kRaw = raw;
            tag.hasK = true;
            m_currentKey = QStringView();
            m_currentRawKey = raw;
            continue;
        }
        QString value;
        if (!hasEntity)
            value = intern(raw, cache, store(), wide);
        else if (!decode(raw, value, cache))
            return false;
        if (name == Unit('k')) {
            if (m_skipping) {
                m_keptAlive.push_back(value);
                value = m_keptAlive.back(); // no node keeps it
            }
            tag.k = std::move(value);
            tag.kRaw = View<Unit>();
            tag.hasK = true;
            m_currentKey = tag.k.view();
            m_currentRawKey = View<Unit>();
        } else if (name == Unit('t')) {
            tag.t = value.isEmpty() ? QChar() : value.at(0);
            tag.tSize = value.size();
            tag.hasT = true;
        } else if (name == Unit('c')) {
            tag.c = std::move(value);
            tag.hasC = true;
        } else {
            return fail(ReaderMessages::tr("unsupported attribute '%1'")
                            .arg(U::string(attr.data(), qsizetype(attr.size()))));
        }
    }
}

template <typename Unit>
XsdtText Reader<Unit>::asciiValue(const char *text, qsizetype n)
{
    if (!m_strings)
        return XsdtText::fromLatin1(QByteArray(text, n));
    if (n <= kInternedValueLength)
        return m_strings->asciiValues.get(text, n, m_strings->bytes);
    return XsdtText::fromLatin1(m_strings->bytes.copy(std::string_view(text, size_t(n))));
}

template <typename Unit>
XsdtText Reader<Unit>::wideValue(const char *text, qsizetype n)
{
    return m_strings->decodedValues.get(
        text, n, [&] { return XsdtText(m_strings->store.copy(Units<char>::string(text, n))); });
}

template <typename Unit>
bool Reader<Unit>::decodeValue(View<Unit> raw, XsdtText &out, bool *breaks, bool hasEntity,
                               bool wide)
{
    if constexpr (std::is_same_v<Unit, char>) {
        const qsizetype n = qsizetype(raw.size());
        if (!m_skipping) {
            wide = wide && !isAscii(raw.data(), n);
            if (!wide && (!hasEntity || raw.find('&') == raw.npos)) {
                out = asciiValue(raw.data(), n);
                return true;
            }
            if (hasEntity && decodeBytes(raw, out, breaks, wide))
                return true;
            if (!hasEntity && m_strings && n <= kInternedValueLength) {
                out = wideValue(raw.data(), n);
                return true;
            }
        }
    }
    QString decoded;
    StringCache *cache = qsizetype(raw.size()) <= kInternedValueLength ? valueCache() : nullptr;
    if (!decode(raw, decoded, cache, breaks))
        return false;
    out = decoded;
    return true;
}

template <typename Unit>
bool Reader<Unit>::decodeBytes(View<char> raw, XsdtText &out, bool *breaks, bool wide)
{
    std::string &to = m_decoded;
    to.clear();
    bool compact = true;   // the references are the writer's own
    bool brokenBy = false; // a reference stood for a tab, line feed or carriage return
    size_t from = 0;
    size_t amp = raw.find('&');
    while (amp != raw.npos) {
        to.append(raw.data() + from, amp - from);
        const size_t semi = raw.find(';', amp + 1);
        if (semi == raw.npos || semi - amp > 12)
            return false;
        const View<char> name = raw.substr(amp + 1, semi - amp - 1);
        if (name == "amp") {
            to += '&';
        } else if (name == "lt") {
            to += '<';
        } else if (name == "gt") {
            to += '>';
        } else if (name == "quot") {
            to += '"';
        } else if (name == "apos") {
            to += '\'';
        } else if (name.size() >= 2 && name[0] == '#') {
            const bool hex = name[1] == 'x';
            const View<char> digits = name.substr(hex ? 2 : 1);
            char32_t code = 0;
            for (const char d : digits) {
                int digit = -1;
                if (d >= '0' && d <= '9')
                    digit = d - '0';
                else if (hex && d >= 'a' && d <= 'f')
                    digit = d - 'a' + 10;
                else if (hex && d >= 'A' && d <= 'F')
                    digit = d - 'A' + 10;
                if (digit < 0)
                    return false;
                code = code * (hex ? 16 : 10) + char32_t(digit);
                if (code > 0x10FFFF)
                    return false;
            }
            if (digits.empty() || code == 0 || (code >= 0xD800 && code <= 0xDFFF))
                return false;
            if (code == '\t' || code == '\n' || code == '\r') {
                brokenBy = true;
                compact = compact && breaks && (name == "#9" || name == "#10" || name == "#13");
            } else {
                compact = false;
            }
            if (code < 0x80) {
                to += char(code);
            } else {
                wide = true;
                char utf8[4];
                int length = 0;
                if (code < 0x800) {
                    utf8[length++] = char(0xC0 | (code >> 6));
                } else {
                    if (code < 0x10000) {
                        utf8[length++] = char(0xE0 | (code >> 12));
                    } else {
                        utf8[length++] = char(0xF0 | (code >> 18));
                        utf8[length++] = char(0x80 | ((code >> 12) & 0x3F));
                    }
                    utf8[length++] = char(0x80 | ((code >> 6) & 0x3F));
                }
                utf8[length++] = char(0x80 | (code & 0x3F));
                to.append(utf8, size_t(length));
            }
        } else {
            return false;
        }
        from = semi + 1;
        amp = raw.find('&', from);
    }
    to.append(raw.data() + from, raw.size() - from);
    // What is not UTF-8 is left to the general decoding, which replaces it piece by piece.
    if (wide && !QByteArrayView(to.data(), qsizetype(to.size())).isValidUtf8())
        return false;
    if (!compact)
        m_compact = false;
    if (brokenBy && breaks)
        *breaks = true;
    if (m_compact && breaks && *breaks)
        checkRawText(raw, true); // the writer writes every break of such a value as a reference
    if (!wide) {
        out = asciiValue(to.data(), qsizetype(to.size()));
        return true;
    }
    if (m_strings && qsizetype(raw.size()) <= kInternedValueLength) {
        out = wideValue(to.data(), qsizetype(to.size()));
        return true;
    }
    const QString text = Units<char>::string(to.data(), qsizetype(to.size()));
    TextStore *strings = store();
    StringCache *cache = qsizetype(raw.size()) <= kInternedValueLength ? valueCache() : nullptr;
    out = !strings ? text : cache ? cache->get(text, *strings).toString() : strings->copy(text);
    return true;
}

template <typename Unit>
bool Reader<Unit>::decode(View<Unit> raw, QString &out, StringCache *cache, bool *breaks)
{
    size_t amp = raw.find(Unit('&'));
    if (amp == raw.npos) {
        if (!m_skipping)
            out = intern(raw, cache, store());
        return true;
    }
    out.clear();
    out.reserve(qsizetype(raw.size()));
    size_t from = 0;
    while (amp != raw.npos) {
        appendTo(out, raw.substr(from, amp - from));
        const size_t semi = raw.find(Unit(';'), amp + 1);
        // Twelve UTF-16 units at most, whichever form the input has.
        if (semi == raw.npos ||
            (semi - amp > 12 && U::columns(raw.data() + amp, qsizetype(semi - amp)) > 12))
            return fail(tr("malformed entity reference"));
        const View<Unit> name = raw.substr(amp + 1, semi - amp - 1);
        // The writer's own references: the five names, and in a value the three breaks.
        if (m_compact && !equals(name, "amp") && !equals(name, "lt") && !equals(name, "gt") &&
            !equals(name, "quot") && !equals(name, "apos") &&
            !(breaks && (equals(name, "#9") || equals(name, "#10") || equals(name, "#13"))))
            m_compact = false;
        if (equals(name, "amp")) {
            out.append(u'&');
        } else if (equals(name, "lt")) {
            out.append(u'<');
        } else if (equals(name, "gt")) {
            out.append(u'>');
        } else if (equals(name, "quot")) {
            out.append(u'"');
        } else if (equals(name, "apos")) {
            out.append(u'\'');
        } else if (!name.empty() && name[0] == Unit('#')) {
            const bool hex = name.size() >= 2 && name[1] == Unit('x');
            const View<Unit> digits = name.substr(hex ? 2 : 1);
            quint64 code = 0;
            bool ok = !digits.empty();
            for (const Unit d : digits) {
                const auto u = std::make_unsigned_t<Unit>(d);
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
            if (breaks && (cp == U'\t' || cp == U'\n' || cp == U'\r'))
                *breaks = true;
            out.append(QStringView(QChar::fromUcs4(cp)));
        } else {
            return fail(ReaderMessages::tr("unknown entity &%1;")
                            .arg(U::string(name.data(), qsizetype(name.size()))));
        }
        from = semi + 1;
        amp = raw.find(Unit('&'), from);
    }
    appendTo(out, raw.substr(from));
    if (m_compact && breaks && *breaks)
        checkRawText(raw, true); // the writer writes every break of such a value as a reference
    if (TextStore *strings = store())
        out = cache ? cache->get(out, *strings).toString()
                    : strings->copy(out); // drops the spare capacity
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

bool isWellFormedUtf8(const char *data, qsizetype size)
{
    const auto *u = reinterpret_cast<const unsigned char *>(data);
    qsizetype i = 0;
    while (i < size) {
#ifdef __SSE2__
        while (size - i >= 64) {
            const auto at = [&](int k) {
                return _mm_loadu_si128(reinterpret_cast<const __m128i *>(u + i + k));
            };
            const __m128i any =
                _mm_or_si128(_mm_or_si128(at(0), at(16)), _mm_or_si128(at(32), at(48)));
            if (_mm_movemask_epi8(any))
                break;
            i += 64;
        }
        while (size - i >= 16) {
            const int high =
                _mm_movemask_epi8(_mm_loadu_si128(reinterpret_cast<const __m128i *>(u + i)));
            if (high) {
                i += __builtin_ctz(unsigned(high));
                break;
            }
            i += 16;
        }
#endif
        if (i == size)
            break;
        if (u[i] < 0x80) {
            ++i;
            continue;
        }
        // The decoder's own reading of a sequence: one unit wide only where it is not UTF-8.
        qsizetype width = 1;
        Units<char>::at(data, i, size, &width);
        if (width == 1)
            return false;
        i += width;
    }
    return true;
}

bool XsdtDocument::readsBackAs(const QByteArray &bytes, QString *error, QString *where) const
{
    return readsBackFrom(*this, bytes.constData(), bytes.size(), error, where, {});
}

bool readsBackFrom(const XsdtDocument &document, const char *data, qsizetype size, QString *error,
                   QString *where, const XsdtDocument::Progress &progress)
{
    XsdtDocument scratch;
    Reader<char> reader(data, size, scratch, &document.root);
    reader.reportTo(progress, size);
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

bool XsdtDocument::parse(const QByteArray &bytes, QString *error, const Progress &progress)
{
    return parse(QByteArrayView(bytes), error, progress, {});
}

bool XsdtDocument::parse(QByteArrayView bytes, QString *error, const Progress &progress,
                         const LetGo &letGo)
{
    clear();
    // A well-formed file is read as it stands, without a decoded copy of it.
    if (isWellFormedUtf8(bytes.data(), bytes.size())) {
        Reader<char> reader(bytes.data(), bytes.size(), *this);
        reader.reportTo(progress, bytes.size());
        reader.letGoTo(letGo);
        if (!reader.run()) {
            clear();
            if (error)
                *error = reader.error();
            return false;
        }
        compactLayout = reader.compact();
        m_byteSizeHint = bytes.size();
        return true;
    }
    return parseDecoded(*this, QByteArray::fromRawData(bytes.data(), bytes.size()), error,
                        progress);
}

namespace {

// Reads with every check, as `setUp` sets the reader up to keep only a part: decoded first when
// the bytes are not well-formed UTF-8.
template <typename SetUp>
bool readPart(XsdtDocument &doc, QByteArrayView bytes, QString *error,
              const XsdtDocument::Progress &progress, const XsdtDocument::LetGo &letGo, SetUp setUp)
{
    doc.clear();
    const auto run = [&](auto &reader) {
        setUp(reader);
        reader.reportTo(progress, bytes.size());
        if (reader.run())
            return true;
        doc.clear();
        if (error)
            *error = reader.stopped() ? QString() : reader.error();
        return false;
    };
    if (isWellFormedUtf8(bytes.data(), bytes.size())) {
        Reader<char> reader(bytes.data(), bytes.size(), doc);
        reader.letGoTo(letGo);
        return run(reader);
    }
    QStringDecoder decoder(QStringConverter::Utf8, QStringConverter::Flag::ConvertInitialBom);
    const QString text = decoder.decode(bytes);
    Reader<char16_t> reader(reinterpret_cast<const char16_t *>(text.utf16()), text.size(), doc);
    return run(reader);
}

} // namespace

bool XsdtDocument::parseSifted(QByteArrayView bytes, const Sieve &sieve, QString *error,
                               const Progress &progress, const LetGo &letGo)
{
    return readPart(*this, bytes, error, progress, letGo,
                    [&](auto &reader) { reader.siftWith(sieve); });
}

bool XsdtDocument::parsePaths(const QByteArray &bytes, const QStringList &paths, QString *error)
{
    return readPart(*this, bytes, error, {}, {}, [&](auto &reader) { reader.keepOnly(paths); });
}

bool XsdtDocument::reads(const QByteArray &bytes, QString *error, const Progress &progress)
{
    XsdtDocument nothing;
    return readPart(nothing, bytes, error, progress, {},
                    [](auto &reader) { reader.keepNothing(); });
}

bool parseDecoded(XsdtDocument &doc, const QByteArray &bytes, QString *error,
                  const XsdtDocument::Progress &progress)
{
    doc.clear();
    // Keep a leading byte-order mark in the text so that it stays in `head` and is written back.
    QStringDecoder decoder(QStringConverter::Utf8, QStringConverter::Flag::ConvertInitialBom);
    const QString text = decoder.decode(bytes);
    Reader<char16_t> reader(reinterpret_cast<const char16_t *>(text.utf16()), text.size(), doc);
    reader.reportTo(progress, bytes.size());
    if (!reader.run()) {
        doc.clear();
        if (error)
            *error = reader.error();
        return false;
    }
    doc.compactLayout = serializesTo(doc, bytes);
    doc.m_byteSizeHint = bytes.size();
    if (decoder.hasError()) {
        qsizetype skip = 0;
        doc.invalidUtf8 = findInvalidUtf8(bytes, text, &skip);
        skip -= doc.head.count(QChar(QChar::ReplacementCharacter));
        const XsdtNode *node =
            doc.invalidUtf8.count > 0 && skip >= 0 ? nodeWithReplacement(doc.root, skip) : nullptr;
        if (node)
            doc.invalidUtf8.path = node->path();
    }
    return true;
}

} // namespace vrn
