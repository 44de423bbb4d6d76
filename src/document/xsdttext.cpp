#include "document/xsdttext.h"

#include <limits>
#include <utility>

namespace vrn {

XsdtText::XsdtText(const XsdtText &other)
    : m_d(other.m_d)
    , m_offset(other.m_offset)
    , m_size(other.m_size)
{
    if (m_d)
        m_d->ref();
}

XsdtText::XsdtText(XsdtText &&other) noexcept
    : m_d(std::exchange(other.m_d, nullptr))
    , m_offset(std::exchange(other.m_offset, 0))
    , m_size(std::exchange(other.m_size, 0))
{}

XsdtText &XsdtText::operator=(const XsdtText &other)
{
    if (this != &other)
        *this = XsdtText(other);
    return *this;
}

XsdtText &XsdtText::operator=(XsdtText &&other) noexcept
{
    std::swap(m_d, other.m_d);
    std::swap(m_offset, other.m_offset);
    std::swap(m_size, other.m_size);
    return *this;
}

namespace {

// Where a string lies in its shared data; false when it has none to share or lies out of reach
// of the offset.
template <typename String>
bool placeIn(const String &text, QArrayData **d, quint32 *offset)
{
    *d = const_cast<String &>(text).data_ptr().d_ptr();
    const quintptr at = quintptr(text.constData()) - quintptr(*d);
    if (!*d || at > std::numeric_limits<quint32>::max())
        return false;
    // The top bit of the size marks Latin-1: far beyond any value the program reads.
    Q_ASSERT(quint64(text.size()) < 0x80000000u);
    *offset = quint32(at);
    return true;
}

} // namespace

void XsdtText::adopt(const QString &text)
{
    Q_ASSERT(!m_d);
    if (text.isEmpty()) {
        m_offset = text.isNull() ? 0 : kEmpty;
        return;
    }
    // Literals and raw data have no shared block to point into; nor can a string far into a
    // huge block be placed by the offset. Such a string gets a block of its own.
    if (!placeIn(text, &m_d, &m_offset)) {
        m_d = nullptr;
        adopt(QString(text.constData(), text.size()));
        return;
    }
    m_d->ref();
    m_size = quint32(text.size());
}

XsdtText XsdtText::fromLatin1(const QByteArray &latin1)
{
    XsdtText text;
    if (latin1.isEmpty()) {
        text.m_offset = latin1.isNull() ? 0 : kEmpty;
        return text;
    }
    if (!placeIn(latin1, &text.m_d, &text.m_offset)) {
        text.m_d = nullptr;
        return fromLatin1(QByteArray(latin1.constData(), latin1.size()));
    }
    text.m_d->ref();
    text.m_size = quint32(latin1.size()) | kLatin1;
    return text;
}

void XsdtText::release()
{
    if (!m_d)
        return;
    QArrayData *d = std::exchange(m_d, nullptr);
    // Handed back to a QString or QByteArray, which frees the block with the last reference.
    if (isLatin1()) {
        QByteArray last(QByteArray::DataPointer(static_cast<QTypedArrayData<char> *>(d),
                                                reinterpret_cast<char *>(d) + m_offset, size()));
    } else {
        QString last(QStringPrivate(
            static_cast<QTypedArrayData<char16_t> *>(d),
            reinterpret_cast<char16_t *>(reinterpret_cast<char *>(d) + m_offset), size()));
    }
}

QString XsdtText::toString() const
{
    if (!m_d)
        return m_offset == kEmpty ? QStringLiteral("") : QString();
    if (isLatin1())
        return QString::fromLatin1(latin1Data(), size());
    m_d->ref();
    return QString(QStringPrivate(static_cast<QTypedArrayData<char16_t> *>(m_d),
                                  const_cast<char16_t *>(utf16Data()), size()));
}

qsizetype XsdtText::count(QChar c) const
{
    return visit([c](auto v) {
        qsizetype n = 0;
        for (qsizetype i = 0; i < v.size(); ++i)
            n += v.at(i) == c ? 1 : 0;
        return n;
    });
}

bool XsdtText::isAscii() const
{
    const char *s = latin1Data();
    for (qsizetype i = 0; i < size(); ++i) {
        if (uchar(s[i]) >= 0x80)
            return false;
    }
    return true;
}

} // namespace vrn
