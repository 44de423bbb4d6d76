#include "history/versioncodec.h"

#include <QCoreApplication>

#include <limits>
#include <memory>

#include <zstd.h>

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
// A skippable frame: magic number, payload size, payload (the keyframe's SHA-256).
constexpr qsizetype kReferenceFrameBytes = 8 + kHashBytes;

void putLittleEndian(char *at, quint32 value)
{
    for (int i = 0; i < 4; ++i)
        at[i] = char((value >> (8 * i)) & 0xff);
}

quint32 littleEndian(const char *at)
{
    quint32 value = 0;
    for (int i = 0; i < 4; ++i)
        value |= quint32(quint8(at[i])) << (8 * i);
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

} // namespace

QByteArray encode(const QByteArray &content, const QByteArray &reference,
                  const QByteArray &referenceHash, QString *error)
{
    std::unique_ptr<ZSTD_CCtx, FreeCCtx> cctx(ZSTD_createCCtx());
    if (!cctx) {
        fail(error, CodecMessages::tr("Out of memory."));
        return {};
    }
    const bool referenced = !reference.isEmpty();
    const qint64 reach = content.size() + (referenced ? reference.size() : 0);
    auto set = [&](ZSTD_cParameter parameter, int value) {
        return !ZSTD_isError(ZSTD_CCtx_setParameter(cctx.get(), parameter, value));
    };
    bool ok = set(ZSTD_c_compressionLevel, kLevel) && set(ZSTD_c_checksumFlag, 1) &&
              set(ZSTD_c_contentSizeFlag, 1);
    if (referenced)
        ok = ok && set(ZSTD_c_windowLog, windowLogFor(reach)) &&
             set(ZSTD_c_enableLongDistanceMatching, 1) &&
             !ZSTD_isError(
                 ZSTD_CCtx_refPrefix(cctx.get(), reference.constData(), size_t(reference.size())));
    if (!ok) {
        fail(error, CodecMessages::tr("zstd refused the settings for this version."));
        return {};
    }
    const qsizetype head = referenced ? kReferenceFrameBytes : 0;
    QByteArray out(head + qsizetype(ZSTD_compressBound(size_t(content.size()))), Qt::Uninitialized);
    if (referenced) {
        putLittleEndian(out.data(), ZSTD_MAGIC_SKIPPABLE_START);
        putLittleEndian(out.data() + 4, kHashBytes);
        std::copy(referenceHash.cbegin(), referenceHash.cbegin() + kHashBytes, out.data() + 8);
    }
    const size_t written = ZSTD_compress2(cctx.get(), out.data() + head, size_t(out.size() - head),
                                          content.constData(), size_t(content.size()));
    if (ZSTD_isError(written)) {
        fail(error, zstdError(written));
        return {};
    }
    out.truncate(head + qsizetype(written));
    out.squeeze();
    return out;
}

bool referenceOf(const QByteArray &stored, QByteArray *referenceHash)
{
    referenceHash->clear();
    if (stored.size() < 4)
        return false;
    const quint32 magic = littleEndian(stored.constData());
    if (magic == ZSTD_MAGICNUMBER)
        return true;
    if (magic != ZSTD_MAGIC_SKIPPABLE_START || stored.size() < kReferenceFrameBytes ||
        littleEndian(stored.constData() + 4) != kHashBytes)
        return false;
    *referenceHash = stored.mid(8, kHashBytes);
    return true;
}

bool decode(const QByteArray &stored, const QByteArray &reference, QByteArray *content,
            QString *error)
{
    content->clear();
    QByteArray referenceHash;
    if (!referenceOf(stored, &referenceHash))
        return fail(error, CodecMessages::tr("not a zstd frame"));
    const bool referenced = !referenceHash.isEmpty();
    const char *frame = stored.constData() + (referenced ? kReferenceFrameBytes : 0);
    const size_t frameSize = size_t(stored.size() - (referenced ? kReferenceFrameBytes : 0));
    const unsigned long long size = ZSTD_getFrameContentSize(frame, frameSize);
    if (size == ZSTD_CONTENTSIZE_ERROR || size == ZSTD_CONTENTSIZE_UNKNOWN ||
        size > static_cast<unsigned long long>(std::numeric_limits<qsizetype>::max() / 2))
        return fail(error, CodecMessages::tr("the frame does not say how large the file is"));
    std::unique_ptr<ZSTD_DCtx, FreeDCtx> dctx(ZSTD_createDCtx());
    if (!dctx)
        return fail(error, CodecMessages::tr("Out of memory."));
    const ZSTD_bounds bounds = ZSTD_dParam_getBounds(ZSTD_d_windowLogMax);
    ZSTD_DCtx_setParameter(dctx.get(), ZSTD_d_windowLogMax, bounds.upperBound);
    if (referenced && ZSTD_isError(ZSTD_DCtx_refPrefix(dctx.get(), reference.constData(),
                                                       size_t(reference.size()))))
        return fail(error, CodecMessages::tr("zstd refused the reference"));
    QByteArray out(qsizetype(size), Qt::Uninitialized);
    const size_t got =
        ZSTD_decompressDCtx(dctx.get(), out.data(), size_t(out.size()), frame, frameSize);
    if (ZSTD_isError(got))
        return fail(error, zstdError(got));
    if (got != size_t(size))
        return fail(error, CodecMessages::tr("the frame holds fewer bytes than it says"));
    *content = std::move(out);
    return true;
}

} // namespace vrn::versioncodec
