#include "knowledge/readahead.h"

#include "document/xsdtdocument.h"
#include "store/files.h"

namespace vrn {

ReadAhead::ReadAhead(FileBytes &bytes)
    : m_bytes(bytes)
{}

void ReadAhead::start()
{
    m_started = m_filling = m_bytes.filling();
    m_checked = 0;
    readPast(0);
}

void ReadAhead::readPast(qsizetype offset)
{
    if (!m_filling || m_checked == m_bytes.size())
        return;
    const qsizetype filled = m_bytes.fillTo(offset + kAhead);
    const char *text = m_bytes.view().data();
    // A character cut at the end is checked with the next part.
    qsizetype end = filled;
    if (filled < m_bytes.size()) {
        while (end > m_checked && (uchar(text[end - 1]) & 0xC0) == 0x80)
            --end;
        if (end > m_checked && uchar(text[end - 1]) >= 0xC0)
            --end;
    }
    if (!isWellFormedUtf8(text + m_checked, end - m_checked)) {
        m_bytes.stopFillingAt(m_checked);
        m_filling = false;
        return;
    }
    m_checked = end;
}

bool ReadAhead::cutShort() const
{
    return m_started && !(m_checked == m_bytes.size() && m_bytes.filledWhole());
}

} // namespace vrn
