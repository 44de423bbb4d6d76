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

void XsdtText::adopt(const QString &text)
{
    constexpr auto kMax = std::numeric_limits<quint32>::max();
    Q_ASSERT(!m_d);
    if (text.isEmpty()) {
        m_offset = text.isNull() ? 0 : kEmpty;
        return;
    }
    QArrayData *d = const_cast<QString &>(text).data_ptr().d_ptr();
    const quintptr offset = quintptr(text.constData()) - quintptr(d);
    // Literals and raw data have no shared block to point into; nor can a string far into a
    // huge block be placed by the offset. Such a string gets a block of its own.
    if (!d || offset > kMax) {
        adopt(QString(text.constData(), text.size()));
        return;
    }
    Q_ASSERT(quint64(text.size()) <= kMax); // far beyond any file the program reads
    d->ref();
    m_d = d;
    m_offset = quint32(offset);
    m_size = quint32(text.size());
}

void XsdtText::release()
{
    if (!m_d)
        return;
    auto *text = const_cast<char16_t *>(data());
    auto *d = static_cast<QTypedArrayData<char16_t> *>(std::exchange(m_d, nullptr));
    // Handed back to a QString, which frees the block with the last reference.
    QString last(QStringPrivate(d, text, qsizetype(m_size)));
}

QString XsdtText::toString() const
{
    if (!m_d)
        return m_offset == kEmpty ? QStringLiteral("") : QString();
    m_d->ref();
    return QString(QStringPrivate(static_cast<QTypedArrayData<char16_t> *>(m_d),
                                  const_cast<char16_t *>(data()), qsizetype(m_size)));
}

} // namespace vrn
