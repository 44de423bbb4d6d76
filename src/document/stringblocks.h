#pragma once

#include <QString>

#include <cstring>
#include <vector>

namespace vrn {

// Short strings carved out of shared blocks instead of one allocation each: every string holds a
// reference to its block, so a block is freed with the last string that uses it, and a string
// that is changed gets a block of its own as any shared string does. Blocks are small so that a
// string kept somewhere after its maker is gone holds little. Strings longer than `largest`
// units get an allocation of their own.
class StringBlocks
{
public:
    // With keepFull, full blocks stay referenced until this object goes, so that pointers into
    // them stay valid without references of their own.
    explicit StringBlocks(qsizetype largest, bool keepFull = false)
        : m_largest(largest)
        , m_keepFull(keepFull)
    {}

    // A string of n units, written by fill(destination).
    template <typename Fill>
    QString make(qsizetype n, Fill fill)
    {
        if (n <= 0)
            return emptyString();
        if (n > m_largest) {
            QString own(n, Qt::Uninitialized);
            fill(reinterpret_cast<char16_t *>(own.data()));
            return own;
        }
        if (m_used + n + 1 > m_capacity)
            newBlock();
        char16_t *at = m_start + m_used;
        fill(at);
        at[n] = 0; // terminated, as every QString's data is
        m_used += n + 1;
        QTypedArrayData<char16_t> *header = m_block.data_ptr().d_ptr();
        header->ref();
        return QString(QStringPrivate(header, at, n));
    }
    QString copy(QStringView text)
    {
        return make(text.size(), [&](char16_t *to) {
            std::memcpy(to, text.utf16(), size_t(text.size()) * sizeof(char16_t));
        });
    }

private:
    // Empty but not null, as a string read from a file is.
    static const QString &emptyString()
    {
        static const QString empty = QStringLiteral("");
        return empty;
    }
    void newBlock()
    {
        if (m_keepFull && !m_block.isNull())
            m_kept.push_back(std::move(m_block));
        m_block = QString();
        m_block.reserve(kBlockUnits);
        m_start = reinterpret_cast<char16_t *>(m_block.data_ptr().data());
        m_capacity = m_block.capacity();
        m_used = 0;
    }

    static constexpr qsizetype kBlockUnits = 16 * 1024;

    const qsizetype m_largest;
    const bool m_keepFull;
    QString m_block;
    std::vector<QString> m_kept;
    char16_t *m_start = nullptr;
    qsizetype m_used = 0;
    qsizetype m_capacity = 0;
};

} // namespace vrn
