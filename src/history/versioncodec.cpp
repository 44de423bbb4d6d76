#include "history/versioncodec.h"

#include <QCoreApplication>
#include <QHash>

#include <algorithm>
#include <initializer_list>
#include <limits>
#include <memory>
#include <vector>

#include <zstd.h>
#include <zstd_errors.h>

namespace vrn::versioncodec {

namespace {

struct CodecMessages
{
    Q_DECLARE_TR_FUNCTIONS(vrn::HistoryStore)
};

// Fast enough that a 50 MB file is recorded well within a second of CPU; higher levels
// shrink the keyframes little and take several times as long.
constexpr int kLevel = 3;
constexpr int kHashBytes = 32;
// A skippable frame: magic number, payload size, payload. Versions made against a whole
// keyframe start with one holding the keyframe's SHA-256.
constexpr qsizetype kWholeHeaderBytes = 8 + kHashBytes;
// Versions cut in pieces start with one holding the keyframe's SHA-256 and the version's size,
// and each piece with one holding where the part of the keyframe it needs starts, and its size.
constexpr quint32 kCutMagic = ZSTD_MAGIC_SKIPPABLE_START + 1;
constexpr qsizetype kCutHeaderBytes = 8 + kHashBytes + 8;
constexpr quint32 kPieceMagic = ZSTD_MAGIC_SKIPPABLE_START + 2;
constexpr qsizetype kPieceHeaderBytes = 8 + 16;
constexpr qsizetype kChunk = qsizetype(256) << 10;
// The most a zstd frame's header takes.
constexpr qsizetype kFrameHeaderMost = 18;

void putLittleEndian(char *at, quint64 value, int bytes = 4)
{
    for (int i = 0; i < bytes; ++i)
        at[i] = char((value >> (8 * i)) & 0xff);
}

quint64 littleEndian(const char *at, int bytes = 4)
{
    quint64 value = 0;
    for (int i = 0; i < bytes; ++i)
        value |= quint64(quint8(at[i])) << (8 * i);
    return value;
}

// The window must reach back over the reference and the content both, or the reference is
// of no use beyond its last window's worth.
int windowLogFor(qint64 bytes)
{
    const ZSTD_bounds bounds = ZSTD_cParam_getBounds(ZSTD_c_windowLog);
    int log = 20;
    while (log < bounds.upperBound && (qint64(1) << log) < bytes)
        ++log;
    return log;
}

QString zstdError(size_t code)
{
    return QString::fromLatin1(ZSTD_getErrorName(code));
}

struct FreeCCtx
{
    void operator()(ZSTD_CCtx *c) const { ZSTD_freeCCtx(c); }
};
struct FreeDCtx
{
    void operator()(ZSTD_DCtx *d) const { ZSTD_freeDCtx(d); }
};

bool fail(QString *error, const QString &message)
{
    if (error && error->isEmpty())
        *error = message;
    return false;
}

// Fills `buffer` with `size` bytes unless the reader ends first.
bool readFull(const Reader &reader, char *buffer, qsizetype size, qsizetype *got, QString *error)
{
    *got = 0;
    while (*got < size) {
        qsizetype n = 0;
        if (!reader(buffer + *got, size - *got, &n, error))
            return false;
        if (n == 0)
            break;
        *got += n;
    }
    return true;
}

bool readAllOf(const Reader &reader, char *buffer, qsizetype size, QString *error)
{
    qsizetype got = 0;
    return readFull(reader, buffer, size, &got, error) &&
           (got == size ||
            fail(error, CodecMessages::tr("the file holds fewer bytes than it did a moment ago")));
}

// A keyframe's bytes, decoded as they are read.
class KeyframeStream
{
public:
    explicit KeyframeStream(Reader reader)
        : m_reader(std::move(reader))
        , m_in(qsizetype(ZSTD_DStreamInSize()), Qt::Uninitialized)
    {}

    bool start(QString *error)
    {
        m_dctx.reset(ZSTD_createDCtx());
        if (!m_dctx)
            return fail(error, CodecMessages::tr("Out of memory."));
        qsizetype got = 0;
        if (!readFull(m_reader, m_in.data(), kFrameHeaderMost, &got, error))
            return false;
        m_input = {m_in.constData(), size_t(got), 0};
        const unsigned long long size =
            got >= 4 && littleEndian(m_in.constData()) == ZSTD_MAGICNUMBER
                ? ZSTD_getFrameContentSize(m_in.constData(), size_t(got))
                : ZSTD_CONTENTSIZE_ERROR;
        if (size == ZSTD_CONTENTSIZE_ERROR || size == ZSTD_CONTENTSIZE_UNKNOWN ||
            size > static_cast<unsigned long long>(std::numeric_limits<qint64>::max()))
            return fail(error, CodecMessages::tr("the version it was made against is not a "
                                                 "keyframe"));
        m_size = qint64(size);
        return true;
    }

    qint64 size() const { return m_size; }

    bool read(char *buffer, qsizetype capacity, qsizetype *got, QString *error)
    {
        ZSTD_outBuffer out{buffer, size_t(capacity), 0};
        while (out.pos < out.size && !m_done) {
            const size_t before = out.pos;
            const size_t left = ZSTD_decompressStream(m_dctx.get(), &out, &m_input);
            if (ZSTD_isError(left))
                return fail(error, zstdError(left));
            m_done = left == 0;
            if (!m_done && out.pos == before && m_input.pos == m_input.size) {
                qsizetype n = 0;
                if (!m_reader(m_in.data(), m_in.size(), &n, error))
                    return false;
                if (n == 0)
                    return fail(error, CodecMessages::tr("the keyframe ends too early"));
                m_input = {m_in.constData(), size_t(n), 0};
            }
        }
        *got = qsizetype(out.pos);
        m_decoded += qint64(out.pos);
        if (m_done && m_decoded != m_size)
            return fail(error, CodecMessages::tr("the frame holds fewer bytes than it says"));
        return true;
    }

private:
    Reader m_reader;
    std::unique_ptr<ZSTD_DCtx, FreeDCtx> m_dctx;
    QByteArray m_in;
    ZSTD_inBuffer m_input{nullptr, 0, 0};
    qint64 m_size = -1;
    qint64 m_decoded = 0;
    bool m_done = false;
};

// The part of a keyframe a piece needs, decoded from the keyframe as the pieces move on; only a
// piece that needs bytes before the last one's makes it start over.
class ReferenceWindow
{
public:
    // `most`: the most bytes a piece needs; room for them is taken once, since growing would
    // hold the old bytes and the new at the same time.
    ReferenceWindow(const Reopen &reopen, qsizetype most)
        : m_reopen(reopen)
        , m_chunk(kChunk, Qt::Uninitialized)
    {
        m_bytes.reserve(size_t(most + kChunk));
    }

    bool open(QString *error)
    {
        m_stream = std::make_unique<KeyframeStream>(m_reopen());
        m_start = 0;
        m_bytes.clear();
        return m_stream->start(error);
    }

    qint64 size() const { return m_stream->size(); }
    const char *at(qint64 offset) const { return m_bytes.data() + (offset - m_start); }

    // Holds the keyframe's bytes from `from` to `to`, which must lie within it.
    bool hold(qint64 from, qint64 to, QString *error)
    {
        if (from < m_start && !open(error))
            return false;
        const qint64 drop = qMin(from - m_start, qint64(m_bytes.size()));
        m_bytes.erase(m_bytes.begin(), m_bytes.begin() + drop);
        m_start += drop;
        while (m_start + qint64(m_bytes.size()) < to) {
            qsizetype got = 0;
            if (!m_stream->read(m_chunk.data(), m_chunk.size(), &got, error))
                return false;
            if (got == 0)
                return fail(error, CodecMessages::tr("the keyframe ends too early"));
            qsizetype skip = 0;
            if (m_bytes.empty() && m_start < from) {
                skip = qsizetype(qMin(qint64(got), from - m_start));
                m_start += skip;
            }
            m_bytes.insert(m_bytes.end(), m_chunk.constData() + skip, m_chunk.constData() + got);
        }
        return true;
    }

private:
    Reopen m_reopen;
    std::unique_ptr<KeyframeStream> m_stream;
    QByteArray m_chunk;
    std::vector<char> m_bytes;
    qint64 m_start = 0;
};

// Places in the bytes chosen by their content (a gear hash of the 64 bytes before them), so
// that the same bytes give the same places in two versions wherever they moved.
struct Gear
{
    quint64 values[256] = {};
    constexpr Gear()
    {
        quint64 x = 0;
        for (quint64 &value : values) {
            x += 0x9e3779b97f4a7c15ULL;
            quint64 z = x;
            z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9ULL;
            z = (z ^ (z >> 27)) * 0x94d049bb133111ebULL;
            value = z ^ (z >> 31);
        }
    }
};
constexpr Gear kGear;

struct Anchors
{
    explicit Anchors(qsizetype piece)
    {
        // About 64 places a piece.
        int bits = 6;
        while (bits < 30 && (qsizetype(1) << (bits + 6)) < piece)
            ++bits;
        shift = 64 - bits;
    }
    int shift = 58;
    quint64 hash = 0;
    // Calls `found(at, key)` for each place in `bytes`, `at` counted from `offset`.
    template <typename Found>
    void scan(const char *bytes, qsizetype size, qint64 offset, Found &&found)
    {
        for (qsizetype i = 0; i < size; ++i) {
            hash = (hash << 1) + kGear.values[quint8(bytes[i])];
            if ((hash >> shift) == 0)
                found(offset + i + 1, hash);
        }
    }
};

// Where each place of the keyframe lies, for the places it holds once (-1 for the others).
// Reading the keyframe through also proves it whole: zstd checks its checksum at the end.
bool indexKeyframe(const Reopen &reopen, qsizetype piece, QHash<quint64, qint64> *index,
                   QString *error)
{
    KeyframeStream stream(reopen());
    if (!stream.start(error))
        return false;
    Anchors anchors(piece);
    QByteArray chunk(kChunk, Qt::Uninitialized);
    for (qint64 at = 0;;) {
        qsizetype got = 0;
        if (!stream.read(chunk.data(), chunk.size(), &got, error))
            return false;
        if (got == 0)
            return true;
        anchors.scan(chunk.constData(), got, at, [index](qint64 place, quint64 key) {
            const auto it = index->constFind(key);
            index->insert(key, it == index->cend() ? place : -1);
        });
        at += got;
    }
}

// A compression context with the settings every frame shares and the `extra` ones; null, with
// `error`, when zstd refuses them.
std::unique_ptr<ZSTD_CCtx, FreeCCtx>
encoder(std::initializer_list<std::pair<ZSTD_cParameter, int>> extra, QString *error)
{
    std::unique_ptr<ZSTD_CCtx, FreeCCtx> cctx(ZSTD_createCCtx());
    if (!cctx) {
        fail(error, CodecMessages::tr("Out of memory."));
        return cctx;
    }
    bool ok = true;
    auto set = [&](ZSTD_cParameter parameter, int value) {
        ok = ok && !ZSTD_isError(ZSTD_CCtx_setParameter(cctx.get(), parameter, value));
    };
    set(ZSTD_c_compressionLevel, kLevel);
    set(ZSTD_c_checksumFlag, 1);
    set(ZSTD_c_contentSizeFlag, 1);
    for (const auto &[parameter, value] : extra)
        set(parameter, value);
    if (!ok) {
        fail(error, CodecMessages::tr("zstd refused the settings for this version."));
        cctx.reset();
    }
    return cctx;
}

} // namespace

bool encodeKeyframe(qint64 size, const Reader &content, const Writer &out, QString *error)
{
    const auto cctx = encoder({}, error);
    if (!cctx)
        return false;
    if (ZSTD_isError(ZSTD_CCtx_setPledgedSrcSize(cctx.get(), quint64(size))))
        return fail(error, CodecMessages::tr("zstd refused the settings for this version."));
    QByteArray in(qsizetype(ZSTD_CStreamInSize()), Qt::Uninitialized);
    QByteArray buffer(qsizetype(ZSTD_CStreamOutSize()), Qt::Uninitialized);
    for (bool last = false; !last;) {
        qsizetype got = 0;
        if (!readFull(content, in.data(), in.size(), &got, error))
            return false;
        last = got < in.size();
        ZSTD_inBuffer input{in.constData(), size_t(got), 0};
        for (bool flushed = false; !flushed;) {
            ZSTD_outBuffer output{buffer.data(), size_t(buffer.size()), 0};
            const size_t left = ZSTD_compressStream2(cctx.get(), &output, &input,
                                                     last ? ZSTD_e_end : ZSTD_e_continue);
            // A size other than the one pledged is refused here.
            if (ZSTD_isError(left))
                return fail(error, ZSTD_getErrorCode(left) == ZSTD_error_srcSize_wrong
                                       ? CodecMessages::tr("the file holds other bytes than it "
                                                           "did a moment ago")
                                       : zstdError(left));
            if (output.pos > 0 && !out(buffer.constData(), qsizetype(output.pos), error))
                return false;
            flushed = last ? left == 0 : input.pos == input.size;
        }
    }
    return true;
}

bool encodeAgainst(qint64 size, const Reader &content, const Reopen &keyframe,
                   const QByteArray &keyframeHash, const Writer &out, qint64 limit, bool *tooLarge,
                   QString *error, const Cut &cut)
{
    *tooLarge = false;
    QHash<quint64, qint64> index;
    ReferenceWindow window(keyframe, cut.piece + 2 * cut.margin + 1);
    if (keyframeHash.size() != kHashBytes || !indexKeyframe(keyframe, cut.piece, &index, error) ||
        !window.open(error))
        return false;
    const auto cctx = encoder({{ZSTD_c_windowLog, windowLogFor(2 * (cut.piece + cut.margin))},
                               {ZSTD_c_enableLongDistanceMatching, 1}},
                              error);
    if (!cctx)
        return false;
    char header[kCutHeaderBytes];
    putLittleEndian(header, kCutMagic);
    putLittleEndian(header + 4, kCutHeaderBytes - 8);
    std::copy(keyframeHash.cbegin(), keyframeHash.cend(), header + 8);
    putLittleEndian(header + 8 + kHashBytes, quint64(size), 8);
    if (!out(header, kCutHeaderBytes, error))
        return false;
    qint64 written = kCutHeaderBytes;
    QByteArray piece(cut.piece, Qt::Uninitialized);
    QByteArray frame(qsizetype(ZSTD_compressBound(size_t(cut.piece))) + kPieceHeaderBytes,
                     Qt::Uninitialized);
    Anchors anchors(cut.piece);
    std::vector<qint64> shifts;
    qint64 drift = 0;
    for (qint64 at = 0; at < size;) {
        const qsizetype length = qsizetype(qMin(qint64(cut.piece), size - at));
        if (!readAllOf(content, piece.data(), length, error))
            return false;
        // The piece's places found once in the keyframe say where its bytes are there.
        shifts.clear();
        anchors.scan(piece.constData(), length, at, [&](qint64 place, quint64 key) {
            const qint64 there = index.value(key, -1);
            if (there >= 0)
                shifts.push_back(there - place);
        });
        std::sort(shifts.begin(), shifts.end());
        qint64 from = at + drift - cut.margin;
        qint64 to = at + length + drift + cut.margin;
        if (!shifts.empty()) {
            drift = shifts.at(shifts.size() / 2);
            const qint64 spread = shifts.back() - shifts.front();
            // All of them when they fit, else around the middle one.
            const bool all = spread <= 2 * cut.margin;
            const qint64 extra = all ? cut.margin - spread / 2 : cut.margin;
            from = at + (all ? shifts.front() : drift) - extra;
            to = at + length + (all ? shifts.back() : drift) + extra;
        }
        from = qBound(qint64(0), from, window.size());
        to = qBound(from, to, window.size());
        if (!window.hold(from, to, error))
            return false;
        putLittleEndian(frame.data(), kPieceMagic);
        putLittleEndian(frame.data() + 4, kPieceHeaderBytes - 8);
        putLittleEndian(frame.data() + 8, quint64(from), 8);
        putLittleEndian(frame.data() + 16, quint64(to - from), 8);
        const size_t prefixed = ZSTD_CCtx_refPrefix(
            cctx.get(), to > from ? window.at(from) : nullptr, size_t(to - from));
        const size_t made = ZSTD_isError(prefixed)
                                ? prefixed
                                : ZSTD_compress2(cctx.get(), frame.data() + kPieceHeaderBytes,
                                                 size_t(frame.size() - kPieceHeaderBytes),
                                                 piece.constData(), size_t(length));
        if (ZSTD_isError(made))
            return fail(error, zstdError(made));
        written += kPieceHeaderBytes + qint64(made);
        if (limit > 0 && written > limit) {
            *tooLarge = true;
            return false;
        }
        if (!out(frame.constData(), kPieceHeaderBytes + qsizetype(made), error))
            return false;
        at += length;
    }
    return true;
}

bool referenceOf(const QByteArray &stored, QByteArray *referenceHash)
{
    referenceHash->clear();
    if (stored.size() < 4)
        return false;
    const quint64 magic = littleEndian(stored.constData());
    if (magic == ZSTD_MAGICNUMBER)
        return true;
    const qsizetype header = magic == ZSTD_MAGIC_SKIPPABLE_START ? kWholeHeaderBytes
                             : magic == kCutMagic                ? kCutHeaderBytes
                                                                 : 0;
    if (header == 0 || stored.size() < header ||
        littleEndian(stored.constData() + 4) != quint64(header - 8))
        return false;
    *referenceHash = stored.mid(8, kHashBytes);
    return true;
}

namespace {

std::unique_ptr<ZSTD_DCtx, FreeDCtx> decoder(const char *prefix, size_t prefixSize, QString *error)
{
    std::unique_ptr<ZSTD_DCtx, FreeDCtx> dctx(ZSTD_createDCtx());
    if (!dctx) {
        fail(error, CodecMessages::tr("Out of memory."));
        return dctx;
    }
    const ZSTD_bounds bounds = ZSTD_dParam_getBounds(ZSTD_d_windowLogMax);
    ZSTD_DCtx_setParameter(dctx.get(), ZSTD_d_windowLogMax, bounds.upperBound);
    if (prefix && ZSTD_isError(ZSTD_DCtx_refPrefix(dctx.get(), prefix, prefixSize))) {
        fail(error, CodecMessages::tr("zstd refused the reference"));
        dctx.reset();
    }
    return dctx;
}

// One frame at `frame` into `out`, which must be just large enough.
bool decodeFrame(ZSTD_DCtx *dctx, const char *frame, size_t frameSize, char *out, size_t outSize,
                 QString *error)
{
    const size_t got = ZSTD_decompressDCtx(dctx, out, outSize, frame, frameSize);
    if (ZSTD_isError(got))
        return fail(error, zstdError(got));
    return got == outSize ||
           fail(error, CodecMessages::tr("the frame holds fewer bytes than it says"));
}

bool sizeOfFrame(const char *frame, size_t frameSize, qint64 most, qint64 *size, QString *error)
{
    const unsigned long long said = ZSTD_getFrameContentSize(frame, frameSize);
    if (said == ZSTD_CONTENTSIZE_ERROR || said == ZSTD_CONTENTSIZE_UNKNOWN ||
        said > static_cast<unsigned long long>(most))
        return fail(error, CodecMessages::tr("the frame does not say how large the file is"));
    *size = qint64(said);
    return true;
}

// Where a cut version's piece at `at` starts, the part of the keyframe it needs, and its frame.
struct Piece
{
    quint64 from = 0;
    quint64 length = 0;
    const char *frame = nullptr;
    size_t frameSize = 0;
};

bool pieceAt(const QByteArray &stored, qsizetype at, qint64 referenceSize, Piece *piece,
             QString *error)
{
    const char *header = stored.constData() + at;
    if (stored.size() - at < kPieceHeaderBytes || littleEndian(header) != kPieceMagic ||
        littleEndian(header + 4) != quint64(kPieceHeaderBytes - 8))
        return fail(error, CodecMessages::tr("a piece of it is damaged"));
    piece->from = littleEndian(header + 8, 8);
    piece->length = littleEndian(header + 16, 8);
    if (piece->from > quint64(referenceSize) ||
        piece->length > quint64(referenceSize) - piece->from)
        return fail(error, CodecMessages::tr("a piece of it reaches beyond the version it "
                                             "was made against"));
    at += kPieceHeaderBytes;
    piece->frame = stored.constData() + at;
    piece->frameSize = ZSTD_findFrameCompressedSize(piece->frame, size_t(stored.size() - at));
    return !ZSTD_isError(piece->frameSize) || fail(error, zstdError(piece->frameSize));
}

bool cutSize(const QByteArray &stored, qint64 *size, QString *error)
{
    *size = qint64(littleEndian(stored.constData() + 8 + kHashBytes, 8));
    return (*size >= 0 && *size <= std::numeric_limits<qsizetype>::max() / 2) ||
           fail(error, CodecMessages::tr("the frame does not say how large the file is"));
}

bool decodeCut(const QByteArray &stored, const QByteArray &reference, const Room &room,
               QString *error)
{
    qint64 size = 0;
    if (!cutSize(stored, &size, error))
        return false;
    char *const out = room(qsizetype(size));
    if (!out)
        return fail(error, CodecMessages::tr("Out of memory."));
    qint64 filled = 0;
    for (qsizetype at = kCutHeaderBytes; at < stored.size();) {
        Piece piece;
        qint64 pieceSize = 0;
        if (!pieceAt(stored, at, reference.size(), &piece, error) ||
            !sizeOfFrame(piece.frame, piece.frameSize, size - filled, &pieceSize, error))
            return false;
        const auto dctx = decoder(reference.constData() + piece.from, size_t(piece.length), error);
        if (!dctx || !decodeFrame(dctx.get(), piece.frame, piece.frameSize, out + filled,
                                  size_t(pieceSize), error))
            return false;
        filled += pieceSize;
        at = qsizetype(piece.frame + piece.frameSize - stored.constData());
    }
    if (filled != size)
        return fail(error, CodecMessages::tr("the frame holds fewer bytes than it says"));
    return true;
}

} // namespace

struct Decoding::State
{
    QByteArray stored;
    qint64 size = 0;
    qint64 decoded = 0;
    std::unique_ptr<KeyframeStream> whole;
    // Of a cut version: the keyframe's part at hand, where the next piece starts, and the
    // piece decoded last, handed out from `inPiece` on.
    std::unique_ptr<ReferenceWindow> window;
    qsizetype next = kCutHeaderBytes;
    std::vector<char> piece;
    size_t inPiece = 0;

    bool nextPiece(QString *error)
    {
        Piece at;
        qint64 pieceSize = 0;
        if (!pieceAt(stored, next, window->size(), &at, error) ||
            !sizeOfFrame(at.frame, at.frameSize, size - decoded, &pieceSize, error) ||
            !window->hold(qint64(at.from), qint64(at.from + at.length), error))
            return false;
        const auto dctx = decoder(window->at(qint64(at.from)), size_t(at.length), error);
        piece.resize(size_t(pieceSize));
        inPiece = 0;
        next = qsizetype(at.frame + at.frameSize - stored.constData());
        decoded += pieceSize;
        return dctx && decodeFrame(dctx.get(), at.frame, at.frameSize, piece.data(),
                                   size_t(pieceSize), error);
    }
};

Decoding::Decoding() = default;
Decoding::~Decoding() = default;

bool Decoding::start(const Reopen &stored, const Reopen &keyframe, QString *error)
{
    d = std::make_unique<State>();
    char head[4];
    qsizetype got = 0;
    if (!readFull(stored(), head, sizeof head, &got, error))
        return false;
    if (got == sizeof head && littleEndian(head) == ZSTD_MAGICNUMBER) {
        d->whole = std::make_unique<KeyframeStream>(stored());
        if (!d->whole->start(error))
            return false;
        d->size = d->whole->size();
        return true;
    }
    const Reader reader = stored();
    for (qsizetype n = 1; n > 0;) {
        const qsizetype at = d->stored.size();
        d->stored.resize(at + kChunk);
        if (!readFull(reader, d->stored.data() + at, kChunk, &n, error))
            return false;
        d->stored.truncate(at + n);
    }
    QByteArray referenceHash;
    if (!referenceOf(d->stored, &referenceHash) || littleEndian(d->stored.constData()) != kCutMagic)
        return fail(error, CodecMessages::tr("not a zstd frame"));
    if (!keyframe)
        return fail(error, CodecMessages::tr("the version it was made against is not a keyframe"));
    d->window = std::make_unique<ReferenceWindow>(keyframe, 0);
    return cutSize(d->stored, &d->size, error) && d->window->open(error);
}

qint64 Decoding::size() const
{
    return d ? d->size : 0;
}

bool Decoding::read(char *buffer, qsizetype capacity, qsizetype *got, QString *error)
{
    *got = 0;
    if (!d || (!d->whole && !d->window))
        return fail(error, CodecMessages::tr("not a zstd frame"));
    if (d->whole)
        return d->whole->read(buffer, capacity, got, error);
    while (*got < capacity) {
        if (d->inPiece == d->piece.size()) {
            if (d->next >= d->stored.size())
                break;
            if (!d->nextPiece(error))
                return false;
            continue;
        }
        const qsizetype n = qMin(capacity - *got, qsizetype(d->piece.size() - d->inPiece));
        std::copy_n(d->piece.data() + d->inPiece, n, buffer + *got);
        d->inPiece += size_t(n);
        *got += n;
    }
    return *got > 0 || d->decoded == d->size ||
           fail(error, CodecMessages::tr("the frame holds fewer bytes than it says"));
}

bool decode(const QByteArray &stored, const QByteArray &reference, const Room &room, QString *error)
{
    QByteArray referenceHash;
    if (!referenceOf(stored, &referenceHash))
        return fail(error, CodecMessages::tr("not a zstd frame"));
    if (littleEndian(stored.constData()) == kCutMagic)
        return decodeCut(stored, reference, room, error);
    const bool referenced = !referenceHash.isEmpty();
    const char *frame = stored.constData() + (referenced ? kWholeHeaderBytes : 0);
    const size_t frameSize = size_t(stored.size() - (referenced ? kWholeHeaderBytes : 0));
    qint64 size = 0;
    if (!sizeOfFrame(frame, frameSize, std::numeric_limits<qsizetype>::max() / 2, &size, error))
        return false;
    const auto dctx = referenced ? decoder(reference.constData(), size_t(reference.size()), error)
                                 : decoder(nullptr, 0, error);
    if (!dctx)
        return false;
    char *const out = room(qsizetype(size));
    if (!out)
        return fail(error, CodecMessages::tr("Out of memory."));
    return decodeFrame(dctx.get(), frame, frameSize, out, size_t(size), error);
}

bool decode(const QByteArray &stored, const QByteArray &reference, QByteArray *content,
            QString *error)
{
    content->clear();
    QByteArray out;
    const Room room = [&out](qsizetype size) {
        out = QByteArray(size, Qt::Uninitialized);
        return out.data();
    };
    if (!decode(stored, reference, room, error))
        return false;
    *content = std::move(out);
    return true;
}

} // namespace vrn::versioncodec
