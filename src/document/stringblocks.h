#pragma once

#include <QByteArray>
#include <QString>

#include <cstring>
#include <type_traits>
#include <utility>
#include <vector>

namespace vrn {

// Short strings carved out of shared blocks instead of one allocation each: every string holds a
// reference to its block, so a block is freed with the last string that uses it, and a string
// that is changed gets a block of its own as any shared string does. Blocks are small so that a
// string kept somewhere after its maker is gone holds little. Strings longer than `largest`
// units get an allocation of their own. The same serves QString (UTF-16) and QByteArray (bytes).
template <typename String>
class BasicStringBlocks
{
public:
    using Unit = std::remove_pointer_t<decltype(std::declval<String &>().data_ptr().data())>;

    // With keepFull, full blocks stay referenced until this object goes, so that pointers into
    // them stay valid without references of their own.
    explicit BasicStringBlocks(qsizetype largest, bool keepFull = false)
        : m_largest(largest)
        , m_keepFull(keepFull)
    {}

    // A string of n units, written by fill(destination).
    template <typename Fill>
    String make(qsizetype n, Fill fill)
    {
        if (n <= 0)
            return emptyString();
        if (n > m_largest) {
            String own(n, Qt::Uninitialized);
            fill(reinterpret_cast<Unit *>(own.data()));
            return own;
        }
        if (m_used + n + 1 > m_capacity)
            newBlock();
        Unit *at = m_start + m_used;
        fill(at);
        at[n] = 0; // terminated, as every QString's and QByteArray's data is
        m_used += n + 1;
        QTypedArrayData<Unit> *header = m_block.data_ptr().d_ptr();
        header->ref();
        return String(typename String::DataPointer(header, at, n));
    }
    template <typename View>
    String copy(View text)
    {
        return make(text.size(), [&](Unit *to) {
            std::memcpy(to, text.data(), size_t(text.size()) * sizeof(Unit));
        });
    }

private:
    // Empty but not null, as a string read from a file is.
    static const String &emptyString()
    {
        static const String empty = String(1, Unit(' ')).left(0);
        return empty;
    }
    void newBlock()
    {
        if (m_keepFull && !m_block.isNull())
            m_kept.push_back(std::move(m_block));
        m_block = String();
        m_block.reserve(kBlockUnits);
        m_start = reinterpret_cast<Unit *>(m_block.data_ptr().data());
        m_capacity = m_block.capacity();
        m_used = 0;
    }

    static constexpr qsizetype kBlockUnits = 16 * 1024;

    const qsizetype m_largest;
    const bool m_keepFull;
    String m_block;
    std::vector<String> m_kept;
    Unit *m_start = nullptr;
    qsizetype m_used = 0;
    qsizetype m_capacity = 0;
};

using StringBlocks = BasicStringBlocks<QString>;
using ByteBlocks = BasicStringBlocks<QByteArray>;

} // namespace vrn
